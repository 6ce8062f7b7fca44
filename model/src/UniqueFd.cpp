#include "tablewright/model/UniqueFd.h"

#include <unistd.h>

namespace tw::data {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other)
        Reset(other.Release());
    return *this;
}

int UniqueFd::Release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

bool UniqueFd::Close() noexcept {
    if (fd_ < 0)
        return true;
    // Linux releases the descriptor even when close fails (EINTR included), so it is not
    // retried: a retry could close a descriptor another thread has opened meanwhile.
    return ::close(Release()) == 0;
}

void UniqueFd::Reset(int fd) noexcept {
    Close();
    fd_ = fd < 0 ? -1 : fd;
}

} // namespace tw::data
