// linkwatch's stamps and what its counter makes of a sequence of blocks: the cases a
// network link produces, built by hand, without JACK.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "link_counter.h"
#include "stamp.h"

namespace {

constexpr uint32_t frames = 128;

std::vector<float> stamped(uint32_t cycle, uint32_t echo = 0) {
    std::vector<float> block(frames);
    stamp_write(block.data(), frames, {cycle, echo});
    return block;
}

// Feeds one block a cycle, the receiver's cycles numbered from 1.
struct receiver {
    link_counter counter;
    uint32_t cycle = 0;
    void take(const std::vector<float>& block) { counter.on_cycle(++cycle, block.data(), frames); }
    void take_stamp(uint32_t stamp) { take(stamped(stamp)); }
};

TEST(link_stamp, reads_back_what_was_written_and_nothing_else) {
    stamp_t read;
    ASSERT_EQ(stamp_read(stamped(0x12345678u, 0xFFFFFFFFu).data(), frames, &read),
              stamp_reading::intact);
    EXPECT_EQ(read.cycle, 0x12345678u);
    EXPECT_EQ(read.echo, 0xFFFFFFFFu);
    std::vector<float> tone(frames), silence(frames);
    for (uint32_t i = 0; i < frames; ++i) tone[i] = float(std::sin(0.1 * i));
    EXPECT_EQ(stamp_read(tone.data(), frames, &read), stamp_reading::none);
    EXPECT_EQ(stamp_read(silence.data(), frames, &read), stamp_reading::none);
    // The first half of one cycle's block, the rest of the next one's.
    auto torn = stamped(7);
    const auto next = stamped(8);
    std::copy(next.begin() + frames / 2, next.end(), torn.begin() + frames / 2);
    EXPECT_EQ(stamp_read(torn.data(), frames, &read), stamp_reading::torn);
}

TEST(link_counter, tells_each_way_a_cycle_can_cross) {
    receiver r;
    r.take(std::vector<float>(frames));  // before the first stamp: not counted
    for (uint32_t s : {100u, 101u, 102u}) r.take_stamp(s);
    link_counts c = r.counter.take();
    EXPECT_EQ(c.on_time, 3u);
    EXPECT_EQ(c.late + c.lost + c.repeated, 0u);

    // A block again, and the one due then a cycle late (the stream one behind after).
    for (uint32_t s : {102u, 103u, 104u}) r.take_stamp(s);
    c = r.counter.take();
    EXPECT_EQ(c.repeated, 1u);
    EXPECT_EQ(c.late, 1u);
    EXPECT_EQ(c.on_time, 1u);
    EXPECT_EQ(c.lost, 0u);

    // A stamp skipped: the next one comes a cycle early, and one never comes.
    for (uint32_t s : {106u, 107u}) r.take_stamp(s);
    c = r.counter.take();
    EXPECT_EQ(c.late, 1u);
    EXPECT_EQ(c.lost, 1u);
    EXPECT_EQ(c.on_time, 1u);

    // Three cycles without a stamp, a torn one, and the sequence found again far away.
    for (int i = 0; i < 3; ++i) r.take(std::vector<float>(frames));
    auto torn = stamped(111);
    torn[frames - 1] = 0.0f;
    r.take(torn);
    r.take_stamp(500);
    r.take_stamp(501);
    c = r.counter.take();
    EXPECT_EQ(c.lost, 3u);
    EXPECT_EQ(c.late, 2u);
    EXPECT_EQ(c.on_time, 1u);
}

TEST(link_counter, measures_the_round_trip_from_the_echo) {
    receiver r;
    for (int i = 0; i < 9; ++i) r.take_stamp(100 + i);
    r.take(stamped(109, 5 + 1));   // cycle 10 hears the echo of its cycle 5
    r.take(stamped(110, 5 + 1));   // and cycle 11 the same echo again
    const link_counts c = r.counter.take();
    EXPECT_EQ(c.round_trip_min, 5 * frames);
    EXPECT_EQ(c.round_trip_max, 6 * frames);
    EXPECT_EQ(r.counter.take().round_trip_max, 0u);  // none since
}

}  // namespace
