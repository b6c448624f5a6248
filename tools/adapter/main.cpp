// nuvik-adapter: plays the infrared keyboard adapter box on a serial line or
// pseudo-terminal, so the handheld side can be driven without the hardware.
//
// Everything the user asks for is checked and encoded before the device is
// opened: bad input sends nothing.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "key_encoder.h"
#include "tty_writer.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitIo = 1;
constexpr int kExitUsage = 2;

constexpr unsigned long kMaxGapMs = 60000;
constexpr unsigned long kMaxRepeat = 1000000;
// Enough for any typing session; each key becomes several bursts in memory.
constexpr std::size_t kMaxStdinBytes = 256u << 10;

const char kUsage[] =
    "Usage: nuvik-adapter [options] TTY\n"
    "Sends key packets to TTY as the infrared keyboard adapter would.\n"
    "\n"
    "What to send (any number of them, sent in the order given):\n"
    "  --text TEXT          type TEXT on a US keyboard: Shift is held around\n"
    "                       shifted characters, newline and CR are Return (CR LF\n"
    "                       is one Return), tab is Tab, backspace is Backspace\n"
    "  --stdin              type the text read from standard input\n"
    "  --hex \"BYTES\"        raw bytes in hexadecimal separated by spaces or\n"
    "                       commas, e.g. \"41 1E 00 5F\"; sent as one run\n"
    "  --key VK:SCAN[:FLAGS]\n"
    "                       one packet; hexadecimal bytes, e.g. 0D:1C for a\n"
    "                       Return press; FLAGS is a byte or down, up, ext,\n"
    "                       up+ext (default down)\n"
    "\n"
    "How to send:\n"
    "  --gap MS             line idle between key events (default 30)\n"
    "  --fast               no pacing and no gaps: each packet in one write\n"
    "  --repeat N           send everything N times (default 1)\n"
    "  --help               show this text\n"
    "\n"
    "Without --fast the bytes leave one at a time at the 9600 bit/s 8N1 wire\n"
    "rate (1.04 ms a byte), so the handheld reads packets split as a line\n"
    "delivers them.\n"
    "Text and keys go as the box sends them: a packet whose check byte would\n"
    "be FF, which the handheld refuses (the releases of M and N), gets bit 0\n"
    "of its flags byte set (4D 32 81 FE). --hex sends exactly its bytes.\n"
    "Exit status: 0 sent, 1 error on TTY, 2 bad arguments or input.\n";

enum class Source { kText, kStdin, kHex, kKey };

struct Item {
  Source source;
  std::string value;
};

struct Options {
  std::vector<Item> items;
  adapter::SendOptions send;
  std::string tty;
  bool help = false;
};

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "nuvik-adapter: %s\n", message.c_str());
  return code;
}

// Options take their value as the next argument or after '='.
bool ParseArguments(int argc, char** argv, Options* options, std::string* error) {
  bool options_done = false;
  bool have_tty = false;
  bool have_stdin = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i] != nullptr ? argv[i] : "";
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      if (have_tty) {
        *error = "more than one TTY given: '" + options->tty + "' and '" + std::string(arg) + "'";
        return false;
      }
      options->tty = std::string(arg);
      have_tty = true;
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    std::string_view name = arg;
    std::string value;
    bool inline_value = false;
    const std::size_t equals = arg.find('=');
    if (arg.substr(0, 2) == "--" && equals != std::string_view::npos) {
      name = arg.substr(0, equals);
      value = std::string(arg.substr(equals + 1));
      inline_value = true;
    }
    const bool takes_value = name == "--text" || name == "--hex" || name == "--key" ||
                             name == "--gap" || name == "--repeat";
    if (!takes_value && inline_value) {
      *error = std::string(name) + " takes no value";
      return false;
    }
    if (takes_value && !inline_value) {
      if (i + 1 >= argc || argv[i + 1] == nullptr) {
        *error = std::string(name) + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    if (name == "--help" || name == "-h") {
      options->help = true;
    } else if (name == "--fast") {
      options->send.fast = true;
    } else if (name == "--stdin") {
      if (have_stdin) {
        *error = "--stdin given twice";
        return false;
      }
      have_stdin = true;
      options->items.push_back({Source::kStdin, ""});
    } else if (name == "--text") {
      options->items.push_back({Source::kText, value});
    } else if (name == "--hex") {
      options->items.push_back({Source::kHex, value});
    } else if (name == "--key") {
      options->items.push_back({Source::kKey, value});
    } else if (name == "--gap") {
      std::string why;
      if (!adapter::ParseNumber(value, kMaxGapMs, &options->send.gap_ms, &why)) {
        *error = "--gap: " + why;
        return false;
      }
    } else if (name == "--repeat") {
      std::string why;
      if (!adapter::ParseNumber(value, kMaxRepeat, &options->send.repeat, &why) ||
          options->send.repeat == 0) {
        *error = "--repeat: '" + value + "' is not a whole number from 1 to " +
                 std::to_string(kMaxRepeat);
        return false;
      }
    } else {
      *error = "unknown option '" + std::string(name) + "' (see --help)";
      return false;
    }
  }
  if (!options->help && !have_tty) {
    *error = "no TTY given (see --help)";
    return false;
  }
  return true;
}

bool ReadStdin(std::string* text, std::string* error) {
  char buffer[4096];
  while (true) {
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      *error = std::string("cannot read standard input: ") + std::strerror(errno);
      return false;
    }
    if (text->size() + static_cast<std::size_t>(got) > kMaxStdinBytes) {
      *error = "standard input is longer than " + std::to_string(kMaxStdinBytes) + " bytes";
      return false;
    }
    text->append(buffer, static_cast<std::size_t>(got));
  }
}

void AddPacket(const adapter::Packet& packet, std::vector<adapter::Burst>* bursts) {
  adapter::Burst burst;
  adapter::AppendBytes(packet, &burst.bytes);
  burst.packets = 1;
  bursts->push_back(std::move(burst));
}

bool AddText(std::string_view text, std::vector<adapter::Burst>* bursts, std::string* error) {
  std::vector<adapter::Packet> packets;
  if (!adapter::EncodeText(text, &packets, error)) return false;
  for (const adapter::Packet& packet : packets) AddPacket(packet, bursts);
  return true;
}

bool BuildBursts(const Options& options, std::vector<adapter::Burst>* bursts, std::string* error) {
  for (const Item& item : options.items) {
    std::string why;
    switch (item.source) {
      case Source::kText:
        if (!AddText(item.value, bursts, &why)) {
          *error = "--text: " + why;
          return false;
        }
        break;
      case Source::kStdin: {
        std::string text;
        if (!ReadStdin(&text, error)) return false;
        if (!AddText(text, bursts, &why)) {
          *error = "--stdin: " + why;
          return false;
        }
        break;
      }
      case Source::kHex: {
        adapter::Burst burst;
        if (!adapter::ParseHex(item.value, &burst.bytes, &why)) {
          *error = "--hex: " + why;
          return false;
        }
        burst.packets = adapter::CountFramedPackets(burst.bytes.data(), burst.bytes.size());
        bursts->push_back(std::move(burst));
        break;
      }
      case Source::kKey: {
        adapter::Packet packet;
        if (!adapter::ParseKeyArgument(item.value, &packet, &why)) {
          *error = "--key: " + why;
          return false;
        }
        AddPacket(packet, bursts);
        break;
      }
    }
  }
  if (bursts->empty()) {
    *error = options.items.empty() ? "nothing to send: give --text, --stdin, --hex or --key"
                                   : "nothing to send: the text is empty";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away must end in an error message, not a signal.
  std::signal(SIGPIPE, SIG_IGN);

  Options options;
  std::string error;
  if (!ParseArguments(argc, argv, &options, &error)) return Fail(kExitUsage, error);
  if (options.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  std::vector<adapter::Burst> bursts;
  if (!BuildBursts(options, &bursts, &error)) return Fail(kExitUsage, error);

  adapter::TtyWriter writer;
  if (!writer.Open(options.tty, &error)) return Fail(kExitIo, error);
  adapter::SendStats stats;
  if (!adapter::SendBursts(&writer, bursts, options.send, &stats, &error)) {
    return Fail(kExitIo, error + " (after " + std::to_string(stats.bytes) + " bytes)");
  }
  if (!writer.Close(&error)) return Fail(kExitIo, error);
  std::fprintf(stderr, "nuvik-adapter: sent %zu packets (%zu bytes) to %s\n", stats.packets,
               stats.bytes, options.tty.c_str());
  return kExitOk;
}
