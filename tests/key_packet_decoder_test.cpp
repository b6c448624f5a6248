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
        DecoderCase{"WrongCheckDropsFourBytesOnly", {Join({{0x41, 0x1E, 0x00, 0x5E}, A_PRESS})}, {A_PRESS}},
        // 00 FF 00 XOR to 0xFF: refused even though the check byte agrees.
        DecoderCase{"CheckOfFFRefused", {Join({{0x00, 0xFF, 0x00, 0xFF}, A_RELEASE})}, {A_RELEASE}},
        DecoderCase{"FFInsideAPacketIsData", {{0x01, 0xFF, 0xFF, 0x01}}, {{0x01, 0xFF, 0xFF, 0x01}}},
        // No sliding resynchronisation: after a bad packet the next byte
        // starts a packet, so the press hidden one byte later is not found.
        DecoderCase{"NoSlidingResync", {Join({{0x00}, A_PRESS})}, std::vector<std::vector<BYTE>>()},
        // A packet split over drains is whole however late the reader
        // comes back for its tail: no clock decides.
        DecoderCase{"SplitDecodedWhole", {{0x41, 0x1E}, {0x00, 0x5F}}, {A_PRESS}},
        DecoderCase{"SplitOverThreeEvents", {{0x41}, {0x1E, 0x00}, {0x5F}}, {A_PRESS}},
        DecoderCase{"LateTailThenNextPacket", {{0x41, 0x1E, 0x80}, Join({{0xDF}, A_PRESS})}, {A_RELEASE, A_PRESS}},
        // A fragment is dropped when what follows does not complete it, and
        // the next key's packet is taken whole.
        DecoderCase{"LoneKeyCodeDroppedBeforeNextPacket", {{0x42}, A_RELEASE}, {A_RELEASE}},
        DecoderCase{"LostByteResyncsAtNextKey", {{0x41, 0x1E, 0x5F}, A_RELEASE}, {A_RELEASE}},
        DecoderCase{"FillerAfterDroppedFragment", {{0x42}, Join({{0xFF, 0xFF}, A_PRESS})}, {A_PRESS}},
        // Half a press followed by the same key's next packet: the check
        // byte of 41 1E 41 1E agrees, but it is the key starting over.
        DecoderCase{"HalfPressThenSameKeyStartsOver", {{0x41, 0x1E}, A_PRESS}, {A_PRESS}},
        DecoderCase{"HalfPressThenItsRelease", {{0x41, 0x1E}, A_RELEASE}, {A_RELEASE}},
        // Only the carried fragment is dropped; within the new burst a bad
        // packet still takes its four bytes with it.
        DecoderCase{"NoSlidingAfterDroppedFragment", {{0x42}, Join({{0x00}, A_PRESS})},
                    std::vector<std::vector<BYTE>>()},
        DecoderCase{"ShortTailInOneBurstThenSilence", {Join({A_PRESS, {0x41, 0x1E, 0x80}})}, {A_PRESS}},
        DecoderCase{"OnlyFiller", {{0xFF, 0xFF, 0xFF}}, std::vector<std::vector<BYTE>>()}),
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
