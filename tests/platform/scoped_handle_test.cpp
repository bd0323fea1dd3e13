// The holder template: empty values, moves, one close per handle, and the last error kept.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "platform/scoped_handle.h"

namespace {

std::vector<int> g_closed;
BOOL g_closeResult = TRUE;

BOOL CloseCounted(HANDLE handle) {
    g_closed.push_back(static_cast<int>(reinterpret_cast<intptr_t>(handle)));
    SetLastError(ERROR_INVALID_HANDLE);
    return g_closeResult;
}

void FreeCounted(int handle) {
    g_closed.push_back(handle);
    SetLastError(ERROR_INVALID_HANDLE);
}

using InvalidIsEmpty = ScopedHandle<HANDLE, CloseCounted, -1>;
using ZeroIsEmpty = ScopedHandle<int, FreeCounted>;

HANDLE AsHandle(intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

class ScopedHandleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_closed.clear();
        g_closeResult = TRUE;
    }
};

TEST_F(ScopedHandleTest, EmptyHoldersCloseNothing) {
    {
        InvalidIsEmpty invalid;
        EXPECT_EQ(invalid.Get(), INVALID_HANDLE_VALUE);
        EXPECT_FALSE(invalid.Release());
        InvalidIsEmpty null(nullptr);  // null is a handle here: FindFirstFile never returns it
        ZeroIsEmpty zero;
        EXPECT_FALSE(zero.Release());
    }
    EXPECT_EQ(g_closed, std::vector<int>{0});
}

TEST_F(ScopedHandleTest, MovesHandOverAndEachHandleClosesOnce) {
    {
        InvalidIsEmpty first(AsHandle(7));
        InvalidIsEmpty second(std::move(first));
        EXPECT_TRUE(first.IsEmpty());
        InvalidIsEmpty third(AsHandle(8));
        third = std::move(second);  // closes 8, takes 7
        EXPECT_EQ(g_closed, std::vector<int>{8});
        third.Reset(AsHandle(9));  // closes 7
        EXPECT_EQ(third.Detach(), AsHandle(9));
        ZeroIsEmpty freed(5);
        *freed.Put() = 5;
        EXPECT_TRUE(freed.Release());  // a close call without result counts as done
        EXPECT_FALSE(freed.Release());
    }
    EXPECT_EQ(g_closed, (std::vector<int>{8, 7, 5}));
}

TEST_F(ScopedHandleTest, ClosingKeepsTheLastErrorAndReportsTheCloseResult) {
    g_closeResult = FALSE;
    InvalidIsEmpty held(AsHandle(3));
    SetLastError(0x1234);
    EXPECT_FALSE(held.Release());
    EXPECT_EQ(GetLastError(), 0x1234u);
    EXPECT_TRUE(held.IsEmpty());  // a failed close is not tried again
    {
        ZeroIsEmpty scoped(4);
        SetLastError(0x5678);
    }
    EXPECT_EQ(GetLastError(), 0x5678u);
    EXPECT_EQ(g_closed, (std::vector<int>{3, 4}));
}

}  // namespace
