// The columnar layer's guards: Arrow arrays checked before a value is read,
// stream slicing that keeps a batch's ids within its schema's offsets, null
// rows, pages given back, and an engine that never writes past the room it
// is given.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "paywheel/columnar/arrow_import.hpp"
#include "paywheel/columnar/region.hpp"
#include "paywheel/columnar/stream_slice.hpp"
#include "paywheel/core/abort.hpp"
#include "paywheel/core/messages.hpp"

namespace paywheel::columnar {
namespace {

// A struct array of five int64 children (amt .. cap_freq) and a utf8 id,
// built by hand so that each case can break one thing.
struct ArrowBook {
    std::vector<std::int64_t> values{12, 12, 12, 12};
    std::vector<std::int32_t> offsets{0, 2, 4, 5, 7};
    std::string chars = "aabbcdd";
    const void* num_buffers[2];
    const void* text_buffers[3];
    ArrowArray children_storage[6];
    ArrowArray* children[6];
    const void* struct_buffers[1] = {nullptr};
    ArrowArray array;
    ArrowLayout layout;

    ArrowBook() {
        num_buffers[0] = nullptr;
        num_buffers[1] = values.data();
        text_buffers[0] = nullptr;
        text_buffers[1] = offsets.data();
        text_buffers[2] = chars.data();
        for (int i = 0; i < 6; ++i) {
            ArrowArray& c = children_storage[i];
            std::memset(&c, 0, sizeof c);
            c.length = 4;
            c.n_buffers = i == 0 ? 3 : 2;
            c.buffers = i == 0 ? text_buffers : num_buffers;
            children[i] = &c;
            layout.child[i] = i;
            layout.kind[i] = i == 0 ? Kind::Utf8 : Kind::I64;
        }
        std::memset(&array, 0, sizeof array);
        array.length = 4;
        array.n_buffers = 1;
        array.buffers = struct_buffers;
        array.n_children = 6;
        array.children = children;
    }
};

TEST(ColumnarArrowImport, MalformedArraysAreRefusedBeforeReading) {
    const struct {
        const char* what;
        void (*breaks)(ArrowBook&);
    } cases[] = {
        {"negative length", [](ArrowBook& b) { b.array.length = -1; }},
        {"too few children", [](ArrowBook& b) { b.array.n_children = 3; }},
        {"a child too short", [](ArrowBook& b) { b.children_storage[3].length = 2; }},
        {"too few buffers", [](ArrowBook& b) { b.children_storage[0].n_buffers = 2; }},
        {"no values buffer", [](ArrowBook& b) { b.num_buffers[1] = nullptr; }},
        {"falling offsets", [](ArrowBook& b) { b.offsets[2] = 1; }},
        {"negative first offset", [](ArrowBook& b) { b.offsets[0] = -3; }},
    };
    for (const auto& c : cases) {
        ArrowBook book;
        InputBatch batch;
        ImportProblem why;
        ASSERT_TRUE(batch_from_arrow(book.layout, book.array, 0, 4, batch, why)) << why.message;
        c.breaks(book);
        EXPECT_FALSE(batch_from_arrow(book.layout, book.array, 0, 4, batch, why)) << c.what;
        EXPECT_EQ(why.kind, CallFailure::BadInput) << c.what;
    }
}

TEST(ColumnarArrowImport, NullStructRowsAreNullRows) {
    ArrowBook book;
    const std::uint8_t validity[] = {0b1011};
    book.struct_buffers[0] = validity;
    book.array.null_count = 1;
    InputBatch batch;
    ImportProblem why;
    ASSERT_TRUE(batch_from_arrow(book.layout, book.array, 0, 4, batch, why));
    Terms t;
    DecodeFailure failure;
    EXPECT_TRUE(decode_row(batch, 1, t, failure));
    EXPECT_FALSE(decode_row(batch, 2, t, failure));
    EXPECT_EQ(failure.code, FailureCode::Null);
    EXPECT_EQ(failure.field, Field::None);
    // a slice keeps the rows' own validity
    EXPECT_FALSE(decode_row(slice_batch(batch, 1, 3), 1, t, failure));
}

TEST(ColumnarStreamSlice, BatchesKeepTheirIdsWithinTheLimit) {
    ArrowBook book;
    InputBatch batch;
    ImportProblem why;
    ASSERT_TRUE(batch_from_arrow(book.layout, book.array, 0, 4, batch, why));
    SliceLimits list{true, 3, INT32_MAX};
    EXPECT_EQ(rows_for_batch(batch, 0, list), 3);
    list.max_id_bytes = 4;  // ids "aa", "bb", "c", "dd"
    EXPECT_EQ(rows_for_batch(batch, 0, list), 2);
    EXPECT_EQ(rows_for_batch(batch, 2, list), 2);
    list.max_id_bytes = 1;  // a single id longer than the limit still goes, alone
    EXPECT_EQ(rows_for_batch(batch, 0, list), 1);
    SliceLimits long_layout{false, 26, INT32_MAX};  // two loans of 13 values
    EXPECT_EQ(rows_for_batch(batch, 0, long_layout), 2);
    long_layout.max_id_bytes = 2;
    EXPECT_EQ(rows_for_batch(batch, 0, long_layout), 1);
}

TEST(ColumnarRegion, ShrinkKeepsTheDataAndGivesPagesBack) {
    Region r = Region::allocate(1 << 20);
    std::memset(r.data(), 7, 1 << 20);
    r.shrink_to(100);
    EXPECT_EQ(r.bytes(), 100u);
    EXPECT_EQ(static_cast<unsigned char*>(r.data())[99], 7);
    r.shrink_to(0);
    EXPECT_EQ(r.bytes(), 0u);
}

TEST(EngineStorage, ALoanLongerThanItsRoomAbortsBeforeWriting) {
    constexpr float kPoison = -12345.0f;
    std::vector<float> store(5 * 13, kPoison);
    float* p = store.data();
    LoanTerms t;
    t.amt = 1000.0f;
    t.rate = 0.01f;
    t.pers = 12;  // 13 entries a column
    t.int_freq = 1;
    t.cap_freq = 1;
    QuietAborts quiet;
    for (std::size_t room : {std::size_t{0}, std::size_t{12}}) {
        try {
            fill_schedule(t, ScheduleOut{p, p + 13, p + 26, p + 39, p + 52, room, room});
            ADD_FAILURE() << "no abort with room " << room;
        } catch (const Abort& a) {
            EXPECT_STREQ(a.message(), messages::kStorageTooShort);
        }
        for (float v : store) ASSERT_EQ(v, kPoison);
    }
    fill_schedule(t, ScheduleOut{p, p + 13, p + 26, p + 39, p + 52, 13, 13});
    EXPECT_EQ(store[52], 1000.0f);
}

}  // namespace
}  // namespace paywheel::columnar
