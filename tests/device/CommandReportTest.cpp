#include "device/CommandProtocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

namespace kestrune {
namespace {

TEST(CommandReportTest, BeginUpdateRequestBytesAndUnitId)
{
    CommandReport request = CommandReport::Make(wire::Command::BeginUpdate);
    request.SetChecksum();
    std::array<std::uint8_t, wire::kReportSize> expected{0x04, 0x01, 0x00, 0x01};
    EXPECT_EQ(request.bytes, expected);
    EXPECT_EQ(UnitId(CommandSelector(), 0, 0, request.bytes), 21231u);
}

TEST(CommandReportTest, BootRequestCarriesTheCodeTwiceAndNoChecksum)
{
    std::array<std::uint8_t, wire::kReportSize> expected{0x04, 0x00, 0x00, 0xEE, 0xEE};
    EXPECT_EQ(BootModeReport().bytes, expected);
}

TEST(CommandReportTest, ChecksumSumsBytesThreeToSixtyThree)
{
    CommandReport full = CommandReport::Make(wire::Command::WriteMemory, 56, 0x1234);
    full.bytes[wire::kOffStatus] = 0xFF;
    std::fill(full.Payload().begin(), full.Payload().end(), 0xFF);
    full.SetChecksum();
    // 6 + 56 + 0xFF + 0x34 + 0x12 + 0xFF + 56 x 0xFF, the largest a request can reach.
    const unsigned sum = 6 + 56 + 0x34 + 0x12 + 0xFF + 56 * 0xFF;
    EXPECT_EQ(full.bytes[1], sum & 0xFF);
    EXPECT_EQ(full.bytes[2], sum >> 8);
    EXPECT_EQ(full.Address(), 0x1234);
    EXPECT_EQ(full.bytes[5], 0x34);  // little-endian address
    // Bytes 0 to 2 never count, whatever they hold.
    CommandReport other = full;
    other.bytes[0] = 0x99;
    other.bytes[1] = other.bytes[2] = 0x77;
    EXPECT_EQ(ReportChecksum(other.bytes), ReportChecksum(full.bytes));
}

TEST(CommandReportTest, UnitIdTableIsAPermutation)
{
    std::set<std::uint8_t> values(UnitIdTable.begin(), UnitIdTable.end());
    EXPECT_EQ(values.size(), 256u);
    EXPECT_EQ(UnitIdTable.front(), 0xFD);
    EXPECT_EQ(UnitIdTable.back(), 0xDE);
}

// Expected values summed by hand from the table, selector, fields and payload.
TEST(CommandReportTest, UnitIdCoversCallbackTagAndPayload)
{
    struct Case {
        HidRelaySelector selector;
        std::uint32_t callback;
        std::uint32_t tag;
        std::vector<std::uint8_t> payload;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {CommandSelector(), 0, 0, {}, 5311},
        {CommandSelector(), 0x12345678, wire::kTagCtrl, {}, 4118},
        {ConsumerSelector(), 0xDEADBEEF, wire::kTagCons, {}, 4648},
        {BankStatusSelector(), 0x00401000, wire::kTagLed, {0x05, 0x02}, 5448},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UnitId(c.selector, c.callback, c.tag, c.payload), c.expected) << "tag " << c.tag;
}

TEST(CommandReportTest, ChunkPlans)
{
    struct Case {
        std::size_t total;
        std::size_t base;
        std::vector<Chunk> expected;
    };
    const Case cases[] = {
        {0, 0, {}},
        {56, 0, {{0, 56, 0}}},
        {57, 0, {{0, 56, 0}, {56, 1, 56}}},
        {480,
         1024,
         {{0, 56, 1024},
          {56, 56, 1080},
          {112, 56, 1136},
          {168, 56, 1192},
          {224, 56, 1248},
          {280, 56, 1304},
          {336, 56, 1360},
          {392, 56, 1416},
          {448, 32, 1472}}},
    };
    for (const Case& c : cases) {
        auto plan = ChunkPlan(c.total, c.base);
        ASSERT_TRUE(plan.ok()) << plan.error();
        EXPECT_EQ(*plan, c.expected) << c.total << " bytes at " << c.base;
    }
    // The last chunk would start past what a 16-bit address can name.
    auto tooFar = ChunkPlan(200, 65500);
    ASSERT_FALSE(tooFar.ok());
    EXPECT_NE(tooFar.error().find("65556"), std::string::npos) << tooFar.error();
    EXPECT_TRUE(ChunkPlan(1, 65535).ok());
}

TEST(ReplySlotTest, TakesOnlyWhileBusyAndAtMostTheCapacity)
{
    ReplySlot slot;
    std::array<std::uint8_t, 8> buffer{};
    const std::array<std::uint8_t, 10> report{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

    EXPECT_FALSE(slot.Deliver(report)) << "nobody is waiting";

    slot.Arm(buffer);
    EXPECT_TRUE(slot.Busy());
    EXPECT_TRUE(slot.Deliver(report));
    EXPECT_EQ(slot.Wait(std::chrono::milliseconds(0)), ReplySlot::WaitResult::Signalled);
    EXPECT_EQ(slot.ReplyLength(), 8u);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}));

    // Once the wait is over a late report may not touch the buffer.
    EXPECT_FALSE(slot.Busy());
    const std::array<std::uint8_t, 2> late{0xAA, 0xBB};
    EXPECT_FALSE(slot.Deliver(late));
    EXPECT_EQ(buffer[0], 1);
}

TEST(ReplySlotTest, TakesOnlyTheReplyThatRepeatsTheRequestsCommandLengthAndAddress)
{
    CommandReport request = CommandReport::Make(wire::Command::ReadKeyTable, 56, 0x0238);
    request.SetChecksum();
    struct Case {
        const char* name;
        std::size_t offset; // byte changed in the reply, or its length when cut
        bool cut;
        bool taken;
    };
    const Case cases[] = {
        {"the reply itself", 0, false, true},
        {"another command", wire::kOffCommand, false, false},
        {"another length", wire::kOffLength, false, false},
        {"another address, low byte", wire::kOffAddress, false, false},
        {"another address, high byte", wire::kOffAddress + 1, false, false},
        {"status and data may differ", wire::kOffStatus, false, true},
        {"cut short of its status byte", wire::kOffStatus, true, false},
        {"cut after its header", wire::kOffPayload, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CommandReport reply = request;
        if (!c.cut && c.offset != 0) reply.bytes[c.offset] ^= 0x01;
        const std::size_t length = c.cut ? c.offset : wire::kReportSize;
        ReplySlot slot;
        std::array<std::uint8_t, wire::kReportSize> buffer{};
        slot.Arm(buffer, request.bytes);
        EXPECT_EQ(slot.Deliver(std::span(reply.bytes).first(length)), c.taken);
        EXPECT_EQ(slot.StrayReplies(), c.taken ? 0u : 1u);
        EXPECT_EQ(slot.Wait(std::chrono::milliseconds(0)),
                  c.taken ? ReplySlot::WaitResult::Signalled : ReplySlot::WaitResult::TimedOut);
        if (!c.taken) {
            EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0; }));
        }
    }

    // A second reply to the same request, say to an earlier attempt, leaves the first as it was.
    ReplySlot slot;
    std::array<std::uint8_t, wire::kReportSize> buffer{};
    slot.Arm(buffer, request.bytes);
    CommandReport first = request;
    first.bytes[wire::kOffPayload] = 1;
    CommandReport second = request;
    second.bytes[wire::kOffPayload] = 2;
    EXPECT_TRUE(slot.Deliver(first.bytes));
    EXPECT_FALSE(slot.Deliver(second.bytes));
    EXPECT_EQ(slot.Wait(std::chrono::milliseconds(0)), ReplySlot::WaitResult::Signalled);
    EXPECT_EQ(buffer[wire::kOffPayload], 1);
}

TEST(ReplySlotTest, WaitEndsByTimeOutBySignalFromAnotherThreadOrByClose)
{
    ReplySlot slot;
    std::array<std::uint8_t, 64> buffer{};

    slot.Arm(buffer);
    EXPECT_EQ(slot.Wait(std::chrono::milliseconds(1)), ReplySlot::WaitResult::TimedOut);
    EXPECT_FALSE(slot.Busy());

    // An event set before a new Arm is forgotten: the event is reset by Arm.
    slot.Arm(buffer);
    slot.Deliver(std::array<std::uint8_t, 1>{7});
    slot.Arm(buffer);
    EXPECT_EQ(slot.Wait(std::chrono::milliseconds(1)), ReplySlot::WaitResult::TimedOut);

    slot.Arm(buffer);
    std::thread reader([&] {
        while (!slot.Deliver(std::array<std::uint8_t, 3>{4, 5, 6})) std::this_thread::yield();
    });
    EXPECT_EQ(slot.Wait(std::chrono::hours(1)), ReplySlot::WaitResult::Signalled);
    reader.join();
    EXPECT_EQ(slot.ReplyLength(), 3u);

    slot.Arm(buffer);
    std::thread closer([&] { slot.Close(); });
    EXPECT_EQ(slot.Wait(std::chrono::hours(1)), ReplySlot::WaitResult::Failed);
    closer.join();
}

}  // namespace
}  // namespace kestrune
