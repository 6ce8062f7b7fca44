// The owner of file descriptors: it closes exactly once, hands over on a move, and reports a
// close that fails.
#include "tablewright/model/UniqueFd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <type_traits>
#include <unistd.h>
#include <utility>

using tw::data::UniqueFd;

namespace {

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

static_assert(!std::is_copy_constructible_v<UniqueFd> &&
              std::is_nothrow_move_constructible_v<UniqueFd> &&
              std::is_nothrow_move_assignable_v<UniqueFd> &&
              std::is_nothrow_destructible_v<UniqueFd>);

TEST(UniqueFd, ClosesOnceAndHandsOverOnAMove) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const int read_end = ends[0];
    const int write_end = ends[1];
    {
        UniqueFd writer(write_end);
        UniqueFd reader(read_end);
        UniqueFd moved(std::move(reader));
        EXPECT_FALSE(reader);
        EXPECT_EQ(moved.Get(), read_end);
        // Assignment closes what was held before.
        moved = std::move(writer);
        EXPECT_FALSE(IsOpen(read_end));
        EXPECT_TRUE(IsOpen(write_end));
        const int released = moved.Release();
        EXPECT_EQ(released, write_end);
        EXPECT_FALSE(moved);
        moved.Reset(released);
    }
    EXPECT_FALSE(IsOpen(write_end));
    EXPECT_FALSE(UniqueFd(-1)); // what open and socket return on failure is empty
    EXPECT_TRUE(UniqueFd().Close());
}

// A descriptor closed behind the owner's back: Close says so (EBADF) and empties the owner, so
// that the destructor does not close the number again (it may belong to another file by then).
TEST(UniqueFd, AFailedCloseIsReportedAndNotRepeated) {
    UniqueFd fd(::dup(STDERR_FILENO));
    ASSERT_TRUE(fd);
    ASSERT_EQ(::close(fd.Get()), 0);
    errno = 0;
    EXPECT_FALSE(fd.Close());
    EXPECT_EQ(errno, EBADF);
    EXPECT_FALSE(fd);
    EXPECT_TRUE(fd.Close());
}

} // namespace
