#pragma once

// An open file descriptor owned by one object at a time (files, sockets, pipes, pseudo-terminals).

namespace tw::data {

/// Owns a file descriptor and closes it when it goes. Move-only: a move hands the descriptor
/// over and leaves the source empty. A descriptor of -1 (as open and socket report failure) is
/// empty.
class UniqueFd {
public:
    /// An empty owner.
    UniqueFd() noexcept = default;
    /// Takes over `fd` (-1 for none).
    explicit UniqueFd(int fd) noexcept : fd_(fd < 0 ? -1 : fd) {}
    /// Closes the descriptor, if any. A failure to close cannot be reported from here; where
    /// it matters (a descriptor written to), call Close first and check it.
    ~UniqueFd() noexcept { Close(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    /// Closes the descriptor held so far and takes over the other's.
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    /// The descriptor, or -1 when empty.
    int Get() const noexcept { return fd_; }
    /// True when a descriptor is held.
    explicit operator bool() const noexcept { return fd_ >= 0; }
    /// Gives the descriptor up without closing it; the owner is empty afterwards.
    int Release() noexcept;
    /// Closes the descriptor now and empties the owner; false (with errno set) when close
    /// failed. The descriptor is gone either way, so it is never closed twice. True when empty.
    bool Close() noexcept;
    /// Closes the descriptor held so far and takes over `fd`.
    void Reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

} // namespace tw::data
