#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "framework/binlinklist.h"

namespace {

std::string PieceAt(const CBinLinkList& list, long index) {
    char* data = nullptr;
    long size = list.GetAt(index, &data);
    if (size < 0) return "<none>";
    return std::string(data, static_cast<size_t>(size));
}

TEST(CBinLinkListTest, EdgeResultsAndBounds) {
    CBinLinkList list;
    EXPECT_EQ(list.Add(nullptr, 3), -3);
    EXPECT_EQ(list.GetCount(), 0);

    // A 0-byte piece is a real piece with a usable (empty, NUL-ended) pointer.
    EXPECT_EQ(list.Add("", 0), 0);
    EXPECT_EQ(list.Add("ab", 2), 0);
    char* data = reinterpret_cast<char*>(1);
    EXPECT_EQ(list.GetAt(0, &data), 0);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], '\0');
    EXPECT_EQ(list.GetAt(1, &data), 2);
    EXPECT_EQ(data[2], '\0');  // the spare byte

    for (long bad : {2L, 3L, -1L, -100000L, 1L << 40}) {
        data = reinterpret_cast<char*>(1);
        EXPECT_EQ(list.GetAt(bad, &data), -1) << bad;
        EXPECT_EQ(data, nullptr) << bad;
        EXPECT_EQ(list.RemoveAt(bad), -1) << bad;
    }
    // Sizes the piece header cannot hold are refused instead of truncated.
    EXPECT_EQ(list.Add("x", -1), -1);
    EXPECT_EQ(list.Add("x", 1L << 33), -1);
    EXPECT_EQ(list.GetCount(), 2);
}

TEST(CBinLinkListTest, AssignmentCopiesPiecesAndSurvivesSelfAssignment) {
    CBinLinkList a;
    a.Add("one", 3);
    a.Add("", 0);
    a.Add("three", 5);
    CBinLinkList b;
    b.Add("old", 3);
    b = a;
    ASSERT_EQ(b.GetCount(), 3);
    EXPECT_EQ(PieceAt(b, 0), "one");
    EXPECT_EQ(PieceAt(b, 1), "");
    EXPECT_EQ(PieceAt(b, 2), "three");
    char* pa = nullptr;
    char* pb = nullptr;
    a.GetAt(0, &pa);
    b.GetAt(0, &pb);
    EXPECT_NE(pa, pb);  // deep copy

    CBinLinkList& self = b;
    b = self;
    EXPECT_EQ(b.GetCount(), 3);
    EXPECT_EQ(PieceAt(b, 2), "three");

    CBinLinkList c(a);
    a.RemoveAll();
    EXPECT_EQ(a.GetCount(), 0);
    EXPECT_EQ(PieceAt(c, 0), "one");
}

// Random operations against std::vector as the model.
TEST(CBinLinkListTest, BehavesLikeAVectorOfStrings) {
    std::mt19937 rng(20240611);
    CBinLinkList list;
    std::vector<std::string> model;
    for (int step = 0; step < 20000; ++step) {
        int op = static_cast<int>(rng() % 10);
        long index = static_cast<long>(rng() % (model.size() + 3)) - 1;  // some out of range, some -1
        if (op < 5) {
            std::string piece(rng() % 40, '\0');
            for (auto& ch : piece) ch = static_cast<char>(rng());
            ASSERT_EQ(list.Add(piece.data(), static_cast<long>(piece.size())), 0);
            model.push_back(piece);
        } else if (op < 8) {
            bool valid = index >= 0 && index < static_cast<long>(model.size());
            ASSERT_EQ(list.RemoveAt(index), valid ? 0 : -1);
            if (valid) model.erase(model.begin() + index);
        } else if (op < 9) {
            bool valid = index >= 0 && index < static_cast<long>(model.size());
            ASSERT_EQ(PieceAt(list, index), valid ? model[static_cast<size_t>(index)] : "<none>");
        } else if (rng() % 50 == 0) {
            list.RemoveAll();
            model.clear();
        } else {
            CBinLinkList copy;
            copy = list;
            list = copy;
        }
        ASSERT_EQ(list.GetCount(), static_cast<long>(model.size()));
    }
    for (size_t i = 0; i < model.size(); ++i) ASSERT_EQ(PieceAt(list, static_cast<long>(i)), model[i]);
}

}  // namespace
