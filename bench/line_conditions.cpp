// How well each packet decoder types what was typed, under each way a port
// can hand bytes over and each fault of the line: keys lost, keys invented
// and keys left down, over typed text of 20,000 keys or more.
//
// Usage: nuvik_bench_line_conditions [KEYS] [SEED]   (defaults 20000, 1)
//
// Prints the table docs/benchmarks.md shows, then whether the program's
// decoder met its goals. Deterministic: the same arguments give the same
// table on every machine.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "line_model.h"
#include "packet_rules_model.h"
#include "pipeline/key_packet_decoder.h"
#include "reference_decoders.h"

namespace {

struct Column {
  const char* name;
  std::function<line::DrainRead()> make;  // a fresh decoder
};

template <typename Decoder>
line::DrainRead Fresh() {
  auto decoder = std::make_shared<Decoder>();
  return [decoder](const std::vector<uint8_t>& read, const line::Deliver& deliver) { decoder->Drain(read, deliver); };
}

// The program's decoder, handed each read as the port would hand it over.
struct ReadBytes {
  const std::vector<uint8_t>* bytes;
  size_t at;
  static DWORD Take(void* self, BYTE* buffer, DWORD count) {
    ReadBytes* source = static_cast<ReadBytes*>(self);
    DWORD n = 0;
    while (n < count && source->at < source->bytes->size()) buffer[n++] = (*source->bytes)[source->at++];
    return n;
  }
};

void HandOn(void* context, const KeyPacket& packet) {
  (*static_cast<const line::Deliver*>(context))(line::Packet{packet.keyCode, packet.scanCode, packet.flags,
                                                             packet.check});
}

line::DrainRead Program() {
  auto decoder = std::make_shared<KeyPacketDecoder>();
  *decoder = KeyPacketDecoder{};
  return [decoder](const std::vector<uint8_t>& read, const line::Deliver& deliver) {
    ReadBytes source{&read, 0};
    DrainKeyPacketBytes(decoder.get(), ReadBytes::Take, &source, HandOn, const_cast<line::Deliver*>(&deliver));
  };
}

line::DrainRead Model() {
  auto decoder = std::make_shared<model::Decoder>();
  return [decoder](const std::vector<uint8_t>& read, const line::Deliver& deliver) {
    decoder->Drain(read, [&](const model::Packet& p) { deliver(line::Packet{p.key, p.scan, p.flags, p.check}); });
  };
}

std::string Cell(const line::Score& s) {
  char text[64];
  std::snprintf(text, sizeof text, "%zu / %zu / %zu", s.lost, s.invented, s.stuck);
  return text;
}

struct Row {
  line::Delivery delivery;
  line::Fault fault;
  std::vector<line::Score> scores;  // one per column
};

// One goal, measured: printed with its verdict.
bool Goal(const char* what, size_t measured, double limit, bool* met) {
  bool ok = static_cast<double>(measured) <= limit;
  std::printf("- %s: %zu, at most %g: %s\n", what, measured, limit, ok ? "met" : "MISSED");
  *met = *met && ok;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  size_t keys = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
  uint32_t seed = argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 1;
  if (keys == 0) {
    std::fprintf(stderr, "usage: %s [KEYS] [SEED]\n", argv[0]);
    return 2;
  }

  // The program's decoder is column kNew, today's (before this rule) kToday.
  const size_t kNoState = 0, kToday = 1, kNew = 3;
  std::vector<Column> columns = {
      {"no state", [] { return Fresh<reference::NoState>(); }},
      {"before (carry if valid)", [] { return Fresh<reference::Todays>(); }},
      {"drop on tie", [] { return Fresh<reference::DropOnTie>(); }},
      {"the program's", [] { return Program(); }},
      {"sliding, 2 in a row", [] { return Fresh<reference::Sliding>(); }},
  };

  std::vector<line::KeyEvent> events = line::TypeText(keys, seed);
  std::printf("%zu keys typed, %zu key events; seed %u. Each cell: keys lost / invented / left down.\n\n", keys,
              events.size(), seed);
  std::printf("| Reads | Fault |");
  for (const Column& c : columns) std::printf(" %s |", c.name);
  std::printf(" the program's: held |\n|---|---|");
  for (size_t i = 0; i <= columns.size(); ++i) std::printf("---|");
  std::printf("\n");

  const line::Delivery deliveries[] = {line::Delivery::Whole, line::Delivery::Bytewise, line::Delivery::Late};
  const line::Fault faults[] = {line::Fault::None, line::Fault::Loss01, line::Fault::Loss1, line::Fault::Stray1,
                                line::Fault::Burst1};
  std::vector<Row> rows;
  std::vector<std::string> disagreements;
  for (line::Delivery delivery : deliveries) {
    for (line::Fault fault : faults) {
      line::Line wire = line::PutOnLine(events, fault, seed + 1000);
      line::Reads reads = line::Read(wire, delivery, seed + 2000);
      Row row{delivery, fault, {}};
      std::printf("| %s | %s |", line::DeliveryName(delivery), line::FaultName(fault));
      for (const Column& c : columns) {
        row.scores.push_back(line::Run(events, wire, reads, c.make()));
        std::printf(" %s |", Cell(row.scores.back()).c_str());
      }
      std::printf(" %zu |\n", row.scores[kNew].held);
      std::fflush(stdout);
      // The reference model of the rules must hand on exactly the same.
      if (!(line::Run(events, wire, reads, Model()).delivered == row.scores[kNew].delivered)) {
        disagreements.push_back(std::string(line::DeliveryName(delivery)) + " / " + line::FaultName(fault));
      }
      rows.push_back(row);
    }
  }

  std::printf("\nGoals for the program's decoder:\n");
  bool met = true;
  for (const Row& row : rows) {
    const line::Score& now = row.scores[kNew];
    const line::Score& before = row.scores[kToday];
    std::string name = std::string(line::DeliveryName(row.delivery)) + ", " + line::FaultName(row.fault);
    if (row.fault == line::Fault::None) {
      Goal((name + ": keys lost").c_str(), now.lost, 0, &met);
      Goal((name + ": keys invented").c_str(), now.invented, 0, &met);
      Goal((name + ": packets held past the read that completed the next").c_str(), now.held, 0, &met);
    } else if (row.delivery == line::Delivery::Whole) {
      // Stray bytes that happen to make a valid packet where one would
      // start cannot be told from one: the decoder that keeps nothing
      // invents those too, and nothing else.
      if (!Goal((name + ": keys invented, a tenth of before's").c_str(), now.invented, before.invented / 10.0,
                &met)) {
        std::printf("  (the decoder that keeps no state invents %zu here)\n", row.scores[kNoState].invented);
      }
      Goal((name + ": keys left down, half of before's").c_str(), now.stuck, before.stuck / 2.0, &met);
    } else {
      Goal((name + ": keys invented, no more than before").c_str(), now.invented, before.invented, &met);
      Goal((name + ": keys left down, no more than before").c_str(), now.stuck, before.stuck, &met);
      Goal((name + ": keys lost, no more than before").c_str(), now.lost, before.lost, &met);
    }
  }
  std::printf("\n");
  for (const std::string& row : disagreements) {
    std::printf("The program's decoder and the reference model disagree: %s\n", row.c_str());
  }
  if (disagreements.empty()) {
    std::printf("The program's decoder and the reference model handed on the same packets in every row.\n");
  }
  std::printf("RESULT line_conditions_goals_met %d\n", met ? 1 : 0);
  return disagreements.empty() ? 0 : 1;
}
