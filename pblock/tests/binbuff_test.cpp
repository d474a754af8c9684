// CBinBuff: bounds of every position and length, and a model test against std::vector.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <vector>

#include "pblock/binbuff.h"

namespace {

std::vector<BYTE> Bytes(const CBinBuff& b) {
    const unsigned char* p = b;
    return p ? std::vector<BYTE>(p, p + b.GetSize()) : std::vector<BYTE>();
}

const BYTE kData[] = {1, 2, 3, 4, 5, 6, 7, 8};

TEST(BinBuff, BadPositionsAndSizesFail) {
    CBinBuff b;
    b.Set(kData, 4);
    EXPECT_EQ(b.Alloc(-1), 0);
    EXPECT_EQ(b.Set(kData, -1), 0);
    EXPECT_EQ(b.Set(nullptr, 3), 0);
    EXPECT_EQ(b.Copy(kData, 1, -1), 0);
    EXPECT_EQ(b.Copy(kData, -1, 0), 0);
    EXPECT_EQ(b.Copy(kData, 2, 3), 0);
    EXPECT_EQ(b.Copy(kData, 1, INT_MAX), 0);  // position + length must not wrap
    EXPECT_EQ(b.Insert(kData, 1, 5), 0);
    EXPECT_EQ(b.Insert(kData, 1, -1), 0);
    EXPECT_EQ(b.Insert(kData, -2, 0), 0);
    EXPECT_EQ(b.Add(kData, -1), 0);
    EXPECT_EQ(b.Add(kData, INT_MAX), 0);
    EXPECT_EQ(Bytes(b), (std::vector<BYTE>{1, 2, 3, 4}));  // unchanged by every failure

    BYTE out[8] = {};
    EXPECT_EQ(b.Get(out, 8), 1);  // the smaller of the two
    EXPECT_EQ(out[3], 4);
    EXPECT_EQ(out[4], 0);
    EXPECT_EQ(b.Get(out, -3), 1);
    EXPECT_EQ(b[4], 0);  // outside: a scratch byte
    b[-1] = 9;
    EXPECT_EQ(Bytes(b), (std::vector<BYTE>{1, 2, 3, 4}));
    EXPECT_EQ(b.Copy(kData, 0, 4), 1);
    EXPECT_EQ(b.Insert(kData, 0, 4), 1);

    CBinBuff neg(-5);
    EXPECT_EQ(neg.GetSize(), 0);
    EXPECT_EQ(static_cast<std::string>(neg), "");
}

TEST(BinBuff, SelfReferenceIsSafe) {
    CBinBuff b;
    b.Set(kData, 8);
    CBinBuff& same = b;
    b = same;
    EXPECT_EQ(Bytes(b), std::vector<BYTE>(kData, kData + 8));
    b.Set(static_cast<unsigned char*>(b) + 2, 3);  // from its own bytes
    EXPECT_EQ(Bytes(b), (std::vector<BYTE>{3, 4, 5}));
    b.Insert(static_cast<unsigned char*>(b), 3, 1);
    EXPECT_EQ(Bytes(b), (std::vector<BYTE>{3, 3, 4, 5, 4, 5}));
    b.Add(static_cast<unsigned char*>(b), b.GetSize());
    EXPECT_EQ(b.GetSize(), 12);
    b.Copy(static_cast<unsigned char*>(b), 4, 1);  // overlapping
    EXPECT_EQ(Bytes(b), (std::vector<BYTE>{3, 3, 3, 4, 5, 5, 3, 3, 4, 5, 4, 5}));
    EXPECT_EQ(static_cast<std::string>(b).substr(0, 6), "030303");
    CBinBuff c(b);
    EXPECT_EQ(Bytes(c), Bytes(b));
}

// Random operations on a CBinBuff and on a std::vector model, compared after each step.
TEST(BinBuff, MatchesVectorModel) {
    std::mt19937 rng(20240517);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    CBinBuff b;
    std::vector<BYTE> model;
    for (int step = 0; step < 5000; ++step) {
        std::vector<BYTE> data(pick(0, 16));
        for (auto& x : data) x = static_cast<BYTE>(pick(0, 255));
        const int len = static_cast<int>(data.size());
        const int size = static_cast<int>(model.size());
        const int pos = pick(-2, size + 2);
        int op = pick(0, 8);
        int result = 0, expected = 1;
        switch (op) {
        case 0:  // Alloc leaves the content undefined: fill it through Copy
            result = b.Alloc(len);
            model = data;
            if (result) b.Copy(data.data(), len, 0);
            break;
        case 1:
            result = b.Set(data.data(), len);
            model = data;
            break;
        case 2:
            result = b.Add(data.data(), len);
            model.insert(model.end(), data.begin(), data.end());
            break;
        case 3:
            result = b.Insert(data.data(), len, pos);
            if (pos < 0 || pos > size) expected = 0;
            else model.insert(model.begin() + pos, data.begin(), data.end());
            break;
        case 4:
            result = b.Copy(data.data(), len, pos);
            if (pos < 0 || pos + len > size) expected = 0;
            else std::copy(data.begin(), data.end(), model.begin() + pos);
            break;
        case 5: {
            CBinBuff other;
            other.Set(data.data(), len);
            b = other;
            result = 1;
            model = data;
            break;
        }
        case 6: {
            std::vector<BYTE> out(len, 0xee), want(len, 0xee);
            result = b.Get(out.data(), len);
            std::copy_n(model.begin(), std::min(len, size), want.begin());
            ASSERT_EQ(out, want) << "step " << step;
            break;
        }
        case 7:
            result = b.Free();
            model.clear();
            break;
        default:
            if (pos >= 0 && pos < size) {
                b[pos] = static_cast<BYTE>(step);
                model[pos] = static_cast<BYTE>(step);
            }
            result = 1;
            break;
        }
        ASSERT_EQ(result, expected) << "op " << op << " step " << step;
        ASSERT_EQ(b.GetSize(), static_cast<int>(model.size())) << "op " << op << " step " << step;
        ASSERT_EQ(Bytes(b), model) << "op " << op << " step " << step;
        if (model.size() > 4096) {
            b.Free();
            model.clear();
        }
    }
}

}  // namespace
