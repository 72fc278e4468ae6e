// The records are byte-exact in C++ and identical to what a C compiler makes of the same header.
#include <drennic/drennic.h>

#include "layout_fields.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>
#include <vector>

extern "C" std::size_t drennicLayoutSeenByC(const std::size_t** layout);

namespace {

#define CHECK_SIZE(record, bytes) static_assert(sizeof(record) == (bytes), #record " size");
#define CHECK_FIELD(record, field, offset) \
    static_assert(offsetof(record, field) == (offset), #record "." #field " offset");
DRN_LAYOUT_COMMON(CHECK_SIZE, CHECK_FIELD)

static_assert(std::is_same_v<drn_char16, char16_t>, "C++ sees UTF-16 text as char16_t");
static_assert(std::is_standard_layout_v<CANFrame> && std::is_trivially_copyable_v<CANFrame>);
static_assert(std::is_standard_layout_v<ResultBlock> && std::is_trivially_copyable_v<ResultBlock>);

#define LIST_SIZE(record, bytes) sizeof(record),
#define LIST_FIELD(record, field, offset) offsetof(record, field),

TEST(DrennicRecords, CAndCppAgreeOnEverySizeAndOffset) {
    const std::vector<std::size_t> seenByCpp = {DRN_LAYOUT_COMMON(LIST_SIZE, LIST_FIELD)};
    const std::size_t* seenByC = nullptr;
    const std::size_t count = drennicLayoutSeenByC(&seenByC);
    ASSERT_EQ(count, seenByCpp.size());
    ASSERT_EQ(count, static_cast<std::size_t>(DRN_LAYOUT_ENTRY_COUNT));
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(seenByC[i], seenByCpp[i]) << "entry " << i;
    }
}

TEST(DrennicRecords, FlagBitsAndResultCodesHaveTheirNumbers) {
    EXPECT_EQ(DRN_FLAG_EXTENDED | DRN_FLAG_ERROR, 0x05);
    EXPECT_EQ(DRN_FLAG_REMOTE, 0x02);
    const int codes[] = {DRN_OK,           DRN_CANCELLED,        DRN_NO_RESPONSE,     DRN_WRONG_RESPONSE,
                         DRN_BAD_PARAMETERS, DRN_REQUEST_FAILED, DRN_DRIVER_FAILURE,  DRN_NOT_INITIALIZED,
                         DRN_TRANSMIT_ERROR, DRN_DELETE_FAILED,  DRN_SERVER_STATUS_2, DRN_NO_FRAME,
                         DRN_BUSY,         DRN_CONFIG_FAILED,    DRN_REFUSED,         DRN_SERVER_STATUS_15};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(codes[i], -i);
    }
    EXPECT_EQ(DRN_NOT_SENT, -1);
    EXPECT_EQ(DRN_NETWORK_IN_USE, -13);
}

} // namespace
