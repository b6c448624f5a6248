// The decoder driven through a real pseudo-terminal, as the reader drives it.
#include <gtest/gtest.h>

#include <algorithm>

#include "pipeline/key_injector.h"
#include "pipeline/key_packet_decoder.h"
#include "pty_port.h"

namespace {

struct DecoderCase {
  const char* name;
  std::vector<std::vector<BYTE>> chunks;  // one drain after each chunk
  std::vector<std::vector<BYTE>> expected;
  bool opened = false;  // the port has just been opened
};

void Collect(void* context, const KeyPacket& packet) {
  static_cast<std::vector<std::vector<BYTE>>*>(context)->push_back(
      {packet.keyCode, packet.scanCode, packet.flags, packet.check});
}

class KeyPacketDecoderTest : public ::testing::TestWithParam<DecoderCase> {
 protected:
  void SetUp() override { device::Reset(); }
  void TearDown() override { device::Reset(); }
};

TEST_P(KeyPacketDecoderTest, DeliversExactlyTheValidPackets) {
  const DecoderCase& c = GetParam();
  PtyPort pty;
  ASSERT_TRUE(pty.Create(u"COM3:"));
  KeyPacketDecoder decoder = {};
  if (c.opened) StartKeyPacketDecoder(&decoder);
  std::vector<std::vector<BYTE>> received;
  for (const std::vector<BYTE>& chunk : c.chunks) {
    ASSERT_TRUE(pty.Send(chunk));
    DrainKeyPacketDecoder(&decoder, pty.port(), Collect, &received);
    EXPECT_EQ(pty.Buffered(), 0) << "a drain must leave the port empty";
  }
  EXPECT_EQ(received, c.expected);
}

const std::vector<BYTE> A_PRESS = {0x41, 0x1E, 0x00, 0x5F};
const std::vector<BYTE> A_RELEASE = {0x41, 0x1E, 0x80, 0xDF};
const std::vector<BYTE> B_PRESS = {0x42, 0x30, 0x00, 0x72};
const std::vector<BYTE> SHIFT_PRESS = {0x10, 0x2A, 0x00, 0x3A};
const std::vector<BYTE> SHIFT_RELEASE = {0x10, 0x2A, 0x80, 0xBA};

// Each byte a drain of its own, as a driver that signals every byte reads.
std::vector<std::vector<BYTE>> Bytewise(const std::vector<BYTE>& bytes) {
  std::vector<std::vector<BYTE>> chunks;
  for (BYTE byte : bytes) chunks.push_back({byte});
  return chunks;
}

std::vector<BYTE> Join(std::initializer_list<std::vector<BYTE>> parts) {
  std::vector<BYTE> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

INSTANTIATE_TEST_SUITE_P(
    Framing, KeyPacketDecoderTest,
    ::testing::Values(
        DecoderCase{"FillerSkipped", {{0xFF, 0xFF, 0x41, 0x1E, 0x00, 0x5F}}, {A_PRESS}},
        DecoderCase{"PressAndReleaseInOneBurst", {Join({A_PRESS, A_RELEASE})}, {A_PRESS, A_RELEASE}},
        // A bad packet puts the place in doubt: the packet after it is handed
        // on once the next one confirms the place.
        DecoderCase{"WrongCheckDropsFourBytesOnly", {Join({{0x41, 0x1E, 0x00, 0x5E}, A_PRESS}), A_RELEASE},
                    {A_PRESS, A_RELEASE}},
        // 00 FF 00 XOR to 0xFF: refused even though the check byte agrees.
        DecoderCase{"CheckOfFFRefused", {Join({{0x00, 0xFF, 0x00, 0xFF}, A_RELEASE}), B_PRESS}, {A_RELEASE, B_PRESS}},
        DecoderCase{"FFInsideAPacketIsData", {{0x01, 0xFF, 0xFF, 0x01}}, {{0x01, 0xFF, 0xFF, 0x01}}},
        // After a bad packet the press one byte later is found by sliding,
        // but trusted only with a second valid packet in a row.
        DecoderCase{"NoSlidingResync", {Join({{0x00}, A_PRESS})}, std::vector<std::vector<BYTE>>()},
        DecoderCase{"SlidingTrustedAfterTwoInARow", {Join({{0x00}, A_PRESS}), A_RELEASE}, {A_PRESS, A_RELEASE}},
        // A packet split over drains is whole however late the reader
        // comes back for its tail: no clock decides.
        DecoderCase{"SplitDecodedWhole", {{0x41, 0x1E}, {0x00, 0x5F}}, {A_PRESS}},
        DecoderCase{"SplitOverThreeEvents", {{0x41}, {0x1E, 0x00}, {0x5F}}, {A_PRESS}},
        DecoderCase{"LateTailThenNextPacket", {{0x41, 0x1E, 0x80}, Join({{0xDF}, A_PRESS})}, {A_RELEASE, A_PRESS}},
        DecoderCase{"SplitByteByByte", Bytewise(Join({A_PRESS, A_RELEASE})), {A_PRESS, A_RELEASE}},
        // A fragment is dropped when what follows does not complete it, and
        // the next key's packet is taken whole.
        DecoderCase{"LoneKeyCodeDroppedBeforeNextPacket", {{0x42}, A_RELEASE}, {A_RELEASE}},
        DecoderCase{"LostByteResyncsAtNextKey", {{0x41, 0x1E, 0x5F}, A_RELEASE}, {A_RELEASE}},
        DecoderCase{"FillerAfterDroppedFragment", {{0x42}, Join({{0xFF, 0xFF}, A_PRESS})}, {A_PRESS}},
        // Half a press followed by the same key's next packet: 41 1E 41 1E
        // passes the check byte as well as the packet does (a tie). Nothing
        // is handed on until the next packet tells them apart.
        DecoderCase{"HalfPressThenSameKeyStartsOver", {{0x41, 0x1E}, A_PRESS, A_RELEASE}, {A_PRESS, A_RELEASE}},
        DecoderCase{"HalfPressThenItsRelease", {{0x41, 0x1E}, A_RELEASE, B_PRESS}, {A_RELEASE, B_PRESS}},
        // Only the places where drains started are tried after a dropped
        // fragment: the press one byte into the drain is not found.
        DecoderCase{"NoSlidingAfterDroppedFragment", {{0x42}, Join({{0x00}, A_PRESS})},
                    std::vector<std::vector<BYTE>>()},
        DecoderCase{"ShortTailInOneBurstThenSilence", {Join({A_PRESS, {0x41, 0x1E, 0x80}})}, {A_PRESS}},
        DecoderCase{"OnlyFiller", {{0xFF, 0xFF, 0xFF}}, std::vector<std::vector<BYTE>>()},
        // A press that lost its first byte, then its release: s f c k passes
        // the check byte, and the old rule typed a press of the key whose
        // code is the lost key's scan code, never released. Only the release
        // is handed on; a release without its press leaves nothing down.
        DecoderCase{"WLosesFirstByteNoCtrl", {{0x11, 0x00, 0x46}, {0x57, 0x11, 0x80, 0xC6}}, {{0x57, 0x11, 0x80, 0xC6}}},
        DecoderCase{"TLosesFirstByteNoCapsLock", {{0x14, 0x00, 0x40}, {0x54, 0x14, 0x80, 0xC0}},
                    {{0x54, 0x14, 0x80, 0xC0}}},
        DecoderCase{"CLosesFirstByteNoDelete", {{0x2E, 0x00, 0x6D}, {0x43, 0x2E, 0x80, 0xED}}, {{0x43, 0x2E, 0x80, 0xED}}},
        DecoderCase{"QLosesFirstByteNoShift", Bytewise({0x10, 0x00, 0x41, 0x51, 0x10, 0x80, 0xC1}),
                    {{0x51, 0x10, 0x80, 0xC1}}},
        // A stray byte before a release: BA 10 2A 80 and DF 41 1E 80 pass
        // the check byte. The tie waits for the next key, which decides it.
        DecoderCase{"StrayBeforeShiftRelease", {SHIFT_PRESS, {0xBA}, SHIFT_RELEASE, A_PRESS},
                    {SHIFT_PRESS, SHIFT_RELEASE, A_PRESS}},
        DecoderCase{"StrayBeforeARelease", {A_PRESS, {0xDF}, A_RELEASE, B_PRESS}, {A_PRESS, A_RELEASE, B_PRESS}},
        // One stray byte on an idle line, then a key typed as the paced
        // adapter sends it.
        DecoderCase{"StrayOnIdleLineThenTyping", Bytewise(Join({{0x12}, A_PRESS, A_RELEASE})), {A_PRESS, A_RELEASE}},
        // A port opened while T's press was on the wire: its first bytes are
        // the press's tail. T's release and the next key are typed, no Caps
        // Lock (14 00 40 54 passes the check byte).
        DecoderCase{"EnableMidPacket",
                    {{0x14, 0x00, 0x40}, {0x54, 0x14, 0x80, 0xC0}, {0x48, 0x23, 0x00, 0x6B}},
                    {{0x54, 0x14, 0x80, 0xC0}, {0x48, 0x23, 0x00, 0x6B}},
                    true},
        DecoderCase{"EnableMidPacketByteByByte",
                    Bytewise({0x14, 0x00, 0x40, 0x54, 0x14, 0x80, 0xC0}),
                    {{0x54, 0x14, 0x80, 0xC0}},
                    true},
        DecoderCase{"EnableBetweenPackets", {{0x41}, {0x1E, 0x00, 0x5F}}, {A_PRESS}, true}),
    [](const ::testing::TestParamInfo<DecoderCase>& info) { return info.param.name; });

// A drain on a closed or failing port behaves as an empty one.
TEST(KeyPacketDecoder, FailedReadEndsDrain) {
  device::Reset();
  KeyPacketDecoder decoder = {};
  std::vector<std::vector<BYTE>> received;
  DrainKeyPacketDecoder(&decoder, reinterpret_cast<HANDLE>(0x7777), Collect, &received);
  EXPECT_TRUE(received.empty());
  EXPECT_EQ(decoder.count, 0u);
}

// A byte reader that gives what it holds until it is told to stop, as the
// reader's reads stop once its open has been closed.
struct StoppingSource {
  std::vector<BYTE> bytes;
  int readsAllowed;
  size_t at = 0;
  int reads = 0;
  static DWORD Read(void* self, BYTE* buffer, DWORD count) {
    StoppingSource* source = static_cast<StoppingSource*>(self);
    if (source->reads++ >= source->readsAllowed) return 0;
    DWORD n = static_cast<DWORD>(std::min<size_t>(count, source->bytes.size() - source->at));
    std::copy(source->bytes.begin() + static_cast<long>(source->at),
              source->bytes.begin() + static_cast<long>(source->at + n), buffer);
    source->at += n;
    return n;
  }
};

// The drain ends at the reader's first refusal and makes no read after it;
// a packet cut short is kept, not delivered.
TEST(KeyPacketDecoder, DrainEndsWhereTheReaderStops) {
  struct Case {
    const char* name;
    int readsAllowed;
    size_t packets;
    int reads;
    DWORD kept;
  } cases[] = {
      {"never stopped", 100, 2, 5, 0},
      {"stopped inside the first packet", 1, 0, 2, 1},
      {"stopped between packets", 2, 1, 3, 0},
      {"stopped at once", 0, 0, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device::Reset();
    StoppingSource source{Join({A_PRESS, A_RELEASE}), c.readsAllowed};
    KeyPacketDecoder decoder = {};
    std::vector<std::vector<BYTE>> received;
    DrainKeyPacketBytes(&decoder, StoppingSource::Read, &source, Collect, &received);
    EXPECT_EQ(received.size(), c.packets);
    EXPECT_EQ(source.reads, c.reads);
    EXPECT_EQ(decoder.count, c.kept);
  }
}

// The Overview's road of one key press: adapter bytes in, two records out.
TEST(KeyPipeline, RoadOfOneKeyPress) {
  device::Reset();
  PtyPort pty;
  ASSERT_TRUE(pty.Create(u"COM3:"));
  KeyPacketDecoder decoder = {};
  KeyDispatchMemory memory = {};
  ASSERT_TRUE(pty.Send(A_PRESS));
  DrainKeyPacketDecoder(&decoder, pty.port(), DispatchReceivedKeyPacket, &memory);
  ASSERT_TRUE(pty.Send(A_RELEASE));
  DrainKeyPacketDecoder(&decoder, pty.port(), DispatchReceivedKeyPacket, &memory);

  auto inputs = device::SendInputs();
  ASSERT_EQ(inputs.size(), 2u);
  EXPECT_EQ(inputs[0].vk, 0x41);
  EXPECT_EQ(inputs[0].scan, 0x1E);
  EXPECT_EQ(inputs[0].flags, 0u);
  EXPECT_EQ(inputs[0].extra, 0u);
  EXPECT_EQ(inputs[1].vk, 0x41);
  EXPECT_EQ(inputs[1].scan, 0x1E);
  EXPECT_EQ(inputs[1].flags, static_cast<DWORD>(KEYEVENTF_KEYUP));
  EXPECT_EQ(inputs[1].extra, 0x00418000u);
  EXPECT_TRUE(device::KeybdMessages().empty());
  device::Reset();
}

}  // namespace
