// Parcel reads after a position change to an offset that items do not start at:
// integers and C strings still read, but a string16 whose characters would lie at
// an odd offset reads as null, as any other unreadable string16 does.
#include <gtest/gtest.h>

#include <binder/IBinder.h>
#include <binder/Parcel.h>

#include <cstring>
#include <vector>

using namespace android;

namespace {

// A string16 item ("hi": length 2, three units with the NUL) placed at `offset` in
// otherwise zero bytes.
std::vector<uint8_t> string16_at(size_t offset) {
    std::vector<uint8_t> bytes(offset + 16, 0);
    const int32_t length = 2;
    const char16_t units[] = {u'h', u'i', u'\0'};
    std::memcpy(bytes.data() + offset, &length, sizeof length);
    std::memcpy(bytes.data() + offset + 4, units, sizeof units);
    return bytes;
}

TEST(binder_parcel, string16_at_an_odd_position_reads_as_null) {
    for (size_t offset : {1, 3, 5}) {
        SCOPED_TRACE(offset);
        const std::vector<uint8_t> bytes = string16_at(offset);
        Parcel parcel;
        parcel.ipcSetData(bytes.data(), bytes.size(), {}, {});
        parcel.setDataPosition(offset);
        size_t length = 99;
        EXPECT_EQ(parcel.readString16Inplace(&length), nullptr);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(parcel.dataPosition(), offset);  // nothing consumed
        EXPECT_EQ(parcel.readString16().size(), 0u);
        EXPECT_EQ(parcel.dataPosition(), offset);
        // The length word itself is still an ordinary integer there.
        EXPECT_EQ(parcel.readInt32(), 2);
    }
}

TEST(binder_parcel, string16_at_an_even_position_off_the_item_grid_reads) {
    for (size_t offset : {2, 4, 6}) {
        SCOPED_TRACE(offset);
        const std::vector<uint8_t> bytes = string16_at(offset);
        Parcel parcel;
        parcel.ipcSetData(bytes.data(), bytes.size(), {}, {});
        parcel.setDataPosition(offset);
        size_t length = 0;
        const char16_t* text = parcel.readString16Inplace(&length);
        ASSERT_NE(text, nullptr);
        ASSERT_EQ(length, 2u);
        EXPECT_EQ(text[0], u'h');
        EXPECT_EQ(text[1], u'i');
        EXPECT_EQ(parcel.dataPosition(), offset + 12);  // length word and 6 bytes padded to 8
    }
}

}  // namespace
