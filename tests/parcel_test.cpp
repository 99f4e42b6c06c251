// The Parcel on its own, with no transport: every item's round trip at aligned
// positions, reads past the end, lying lengths and positions, and the descriptors
// that a parcel owns. On 32-bit ARM the sizes and positions are 32 bits wide, so the
// lengths and positions near the top of size_t check its overflow guards there.
#include <gtest/gtest.h>

#include <binder/IBinder.h>
#include <binder/Parcel.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>

using namespace android;

namespace {

const String16 kToken("com.example.parcel.IToken");
const String16 kOtherToken("com.example.parcel.IOther");
const String16 kPrefixToken("com.example.parcel.ITok");

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(binder_parcel, round_trips_every_item_at_aligned_positions) {
    const char16_t units[] = {u'J', 0x00e9, 0x20ac, 0xd83d, 0xde00};
    const char* texts[] = {"", "a", "abc", "abcd", "hello world"};
    Parcel p;
    p.writeInt32(INT32_MIN);
    p.writeInt32(-1);
    p.writeInt64(INT64_MIN + 5);
    p.writeInt64(0x0123456789abcdefLL);
    for (const char* t : texts) p.writeCString(t);
    p.writeString16(String16(units, 5));
    p.writeString16(String16());
    p.writeString16(nullptr, 0);
    p.writeInt32(77);
    p.writeInterfaceToken(kToken);
    EXPECT_EQ(p.dataSize() % 4, 0u);

    p.setDataPosition(0);
    EXPECT_EQ(p.readInt32(), INT32_MIN);
    EXPECT_EQ(p.readInt32(), -1);
    EXPECT_EQ(p.readInt64(), INT64_MIN + 5);
    int64_t wide = 0;
    EXPECT_EQ(p.readInt64(&wide), NO_ERROR);
    EXPECT_EQ(wide, 0x0123456789abcdefLL);
    for (const char* t : texts) {
        const char* got = p.readCString();
        ASSERT_NE(got, nullptr) << t;
        EXPECT_STREQ(got, t);
        EXPECT_EQ(p.dataPosition() % 4, 0u) << t;
    }
    EXPECT_EQ(p.readString16(), String16(units, 5));
    EXPECT_EQ(p.dataPosition() % 4, 0u);
    EXPECT_EQ(p.readString16().size(), 0u);
    size_t length = 99;
    EXPECT_EQ(p.readString16Inplace(&length), nullptr) << "the null string";
    EXPECT_EQ(p.readInt32(), 77);
    const size_t token_at = p.dataPosition();
    EXPECT_TRUE(p.enforceInterface(kToken));
    EXPECT_EQ(p.dataAvail(), 0u);
    p.setDataPosition(token_at);
    EXPECT_FALSE(p.enforceInterface(kOtherToken));
    p.setDataPosition(token_at);
    EXPECT_FALSE(p.enforceInterface(kPrefixToken)) << "a prefix of the token";
}

TEST(binder_parcel, reads_past_the_end_give_zero_or_not_enough_data) {
    Parcel p;
    p.writeInt32(7);
    p.setDataPosition(0);
    int64_t wide = 5;
    EXPECT_EQ(p.readInt64(&wide), NOT_ENOUGH_DATA) << "8 bytes from 4";
    p.setDataPosition(0);
    EXPECT_EQ(p.readInt32(), 7);
    EXPECT_EQ(p.readInt32(), 0);
    int32_t value = 5;
    EXPECT_EQ(p.readInt32(&value), NOT_ENOUGH_DATA);
    EXPECT_EQ(p.readInt64(), 0);
    EXPECT_EQ(p.readCString(), nullptr);
    size_t length = 0;
    EXPECT_EQ(p.readString16Inplace(&length), nullptr);
    EXPECT_EQ(p.readStrongBinder(), nullptr);
    EXPECT_EQ(p.readFileDescriptor(), BAD_TYPE);
    EXPECT_EQ(p.dataAvail(), 0u);

    Parcel empty;
    EXPECT_EQ(empty.readInt32(), 0);
    EXPECT_FALSE(empty.enforceInterface(kToken));
}

TEST(binder_parcel, string16_with_a_lying_length_reads_as_null) {
    // Four units follow the length field: room for a 3-unit string and its terminator.
    for (const int32_t lie : {INT32_MAX, INT32_MAX - 1, 0x40000000, 0x7fff0000, INT32_MIN, -2, -100, 4, 5}) {
        Parcel p;
        p.writeInt32(lie);
        p.writeInt32(0x00420041);
        p.writeInt32(0x00440043);
        p.setDataPosition(0);
        size_t length = 0;
        EXPECT_EQ(p.readString16Inplace(&length), nullptr) << "length " << lie;
        p.setDataPosition(0);
        EXPECT_EQ(p.readString16().size(), 0u) << "length " << lie;
    }
}

TEST(binder_parcel, cstring_without_nul_reads_as_null) {
    Parcel p;
    p.writeInt32(0x41414141);
    p.writeInt32(0x42424242);
    p.setDataPosition(0);
    EXPECT_EQ(p.readCString(), nullptr);
    p.setDataPosition(6);
    EXPECT_EQ(p.readCString(), nullptr);
}

TEST(binder_parcel, position_beyond_the_end_reads_nothing) {
    Parcel p;
    p.writeInt32(1);
    p.writeCString("x");
    for (const size_t pos : {p.dataSize() + 1, p.dataSize() + 1000, size_t(SIZE_MAX), size_t(SIZE_MAX - 3)}) {
        p.setDataPosition(pos);
        EXPECT_EQ(p.dataAvail(), 0u) << pos;
        EXPECT_EQ(p.readInt32(), 0) << pos;
        int32_t v;
        EXPECT_EQ(p.readInt32(&v), NOT_ENOUGH_DATA) << pos;
        EXPECT_EQ(p.readCString(), nullptr) << pos;
    }
    p.setDataPosition(0);
    EXPECT_EQ(p.readInt32(), 1);
    EXPECT_STREQ(p.readCString(), "x");
}

// An object takes a 32-bit tag and a 32-bit index into the side table, with no
// pointer in the data, so parcels read the same in 32-bit and 64-bit processes.
TEST(binder_parcel, object_records_are_a_tag_and_an_index_on_every_word_size) {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    Parcel p;
    p.writeInt32(7);
    p.writeStrongBinder(nullptr);
    p.writeFileDescriptor(fd, false);
    p.writeFileDescriptor(fd, false);
    ASSERT_EQ(p.dataSize(), 4u + 3 * 8);
    uint32_t w[7];
    std::memcpy(w, p.data(), sizeof w);
    EXPECT_EQ(w[1], B_PACK_CHARS('n', 'b', '*', 0x85));
    EXPECT_EQ(w[2], 0u);
    EXPECT_EQ(w[3], B_PACK_CHARS('f', 'd', '*', 0x85));
    EXPECT_EQ(w[4], 0u);
    EXPECT_EQ(w[5], B_PACK_CHARS('f', 'd', '*', 0x85));
    EXPECT_EQ(w[6], 1u);
    close(fd);
}

TEST(binder_parcel, owned_descriptors_close_with_the_parcel) {
    const int kept = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int owned = dup(kept);
    Parcel p;
    p.writeFileDescriptor(kept, false);
    p.writeFileDescriptor(owned, true);
    p.freeData();
    EXPECT_EQ(p.dataSize(), 0u);
    EXPECT_FALSE(fd_open(owned));
    EXPECT_TRUE(fd_open(kept));

    int copy = -1;
    {
        Parcel q;
        q.writeDupFileDescriptor(kept);
        q.setDataPosition(0);
        copy = q.readFileDescriptor();
        ASSERT_GE(copy, 0);
        EXPECT_NE(copy, kept);
        struct stat s1, s2;
        fstat(copy, &s1);
        fstat(kept, &s2);
        EXPECT_EQ(s1.st_ino, s2.st_ino);
        EXPECT_TRUE(fd_open(copy));
    }
    EXPECT_FALSE(fd_open(copy)) << "the parcel's dup outlived it";
    EXPECT_TRUE(fd_open(kept));
    close(kept);
}

}  // namespace
