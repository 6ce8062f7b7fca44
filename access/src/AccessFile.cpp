// The database file as a whole: its bytes, its pages, and the checks made before anything in it
// is interpreted.

#include "AccessInternals.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw::data::access {

bool ByteSource::ReadAt(std::uint8_t* buffer, std::size_t size, std::int64_t offset) const {
    if (offset < 0 || static_cast<std::uint64_t>(offset) + size > static_cast<std::uint64_t>(size_))
        return false;
    if (!fd_) {
        std::memcpy(buffer, bytes_.data() + offset, size);
        return true;
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd_.Get(), buffer + done, size - done,
                                  static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool RecentPages::Find(std::uint32_t page, std::vector<std::uint8_t>& buffer) {
    std::lock_guard lock(mutex_);
    for (auto& slot : slots_) {
        if (slot.page == page && slot.bytes.size() == buffer.size()) {
            slot.used = ++clock_;
            std::copy(slot.bytes.begin(), slot.bytes.end(), buffer.begin());
            return true;
        }
    }
    return false;
}

void RecentPages::Keep(std::uint32_t page, const std::vector<std::uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    auto oldest = std::min_element(slots_.begin(), slots_.end(),
                                   [](const Slot& a, const Slot& b) { return a.used < b.used; });
    oldest->page = page;
    oldest->used = ++clock_;
    oldest->bytes = bytes;
}

std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

void FailOpen(const std::string& path, const std::string& reason) {
    throw DataAccessError("无法打开数据库 " + Quoted(path) + "：" + reason + "。");
}

void FailRead(const AccessFile& file, const std::string& reason) {
    throw DataAccessError("读取数据库 " + Quoted(file.path) + " 时出错：" + reason + "。");
}

const std::uint8_t* LoadPage(const AccessFile& file, std::uint32_t page,
                             std::vector<std::uint8_t>& buffer) {
    if (page == 0 || page >= file.page_count)
        FailRead(file, "第 " + std::to_string(page) + " 页超出文件末尾，文件可能已被截断或损坏");
    buffer.resize(static_cast<std::size_t>(file.page_size));
    if (file.cipher && file.recent.Find(page, buffer))
        return buffer.data();
    if (!file.source->ReadAt(buffer.data(), buffer.size(),
                             static_cast<std::int64_t>(page) * file.page_size))
        FailRead(file, "无法读取第 " + std::to_string(page) + " 页");
    if (!file.cipher)
        return buffer.data();
    // A page that was never written is all zero in an encrypted file too; decrypting it would
    // only turn it into noise.
    if (std::any_of(buffer.begin(), buffer.end(), [](auto b) { return b != 0; }) &&
        !file.cipher->Decrypt(page, buffer))
        FailRead(file, "无法解密第 " + std::to_string(page) + " 页");
    file.recent.Keep(page, buffer);
    return buffer.data();
}

namespace {

constexpr const char* kWrongPassword = "不是有效的密码";

// Unlocks an encrypted ACE file with `password`: gives it the cipher of its pages, or fails
// saying whether the password is wrong, the encryption not supported or its header damaged.
void UnlockAceFile(AccessFile& file, std::span<const std::uint8_t> page0,
                   const std::optional<std::string>& password) {
    AceUnlock unlock = UnlockAce(page0, file.header.db_key, password);
    switch (unlock.status) {
    case AceUnlock::Status::Unlocked:
        file.cipher = std::move(unlock.cipher);
        return;
    case AceUnlock::Status::WrongPassword:
        FailOpen(file.path, kWrongPassword);
    case AceUnlock::Status::Unsupported:
        FailOpen(file.path, "文件使用了不支持的加密方式（" + unlock.detail + "）");
    case AceUnlock::Status::Damaged:
        FailOpen(file.path, "文件已损坏（加密信息无效：" + unlock.detail + "）");
    case AceUnlock::Status::Failed:
        break;
    }
    FailOpen(file.path, "解密失败（OpenSSL 计算 " + unlock.detail + " 时出错）");
}

} // namespace

std::shared_ptr<AccessFile> CheckImage(const std::string& path, std::unique_ptr<ByteSource> source,
                                       const std::optional<std::string>& password) {
    const std::int64_t size = source->Size();
    if (size == 0)
        FailOpen(path, "文件是空的");
    std::uint8_t page0[4096] = {};
    const std::size_t head = static_cast<std::size_t>(std::min<std::int64_t>(size, 4096));
    if (!source->ReadAt(page0, head, 0))
        FailOpen(path, "无法读取文件头");
    const std::span<const std::uint8_t> head_bytes(page0, head);
    if (!HasAccessSignature(head_bytes))
        FailOpen(path, "不是 Access 数据库文件（无法识别的数据库格式）");
    const auto header = ParseHeader(head_bytes);
    if (!header)
        FailOpen(path, "文件不完整（只有 " + std::to_string(size) +
                           " 字节，放不下数据库的文件头），可能已被截断");
    if (header->version > kVersionNewest)
        FailOpen(path, "不支持的数据库版本（版本号 " + std::to_string(header->version) + "）");

    auto file = std::make_shared<AccessFile>();
    file->path = path;
    file->header = *header;
    file->source = std::move(source);
    file->page_size = header->page_size;
    file->jet3 = header->version == kVersionJet3;
    file->row_count_offset = file->jet3 ? 0x08 : 0x0C;
    if (size % file->page_size != 0)
        FailOpen(path, "文件不完整或已损坏（大小 " + std::to_string(size) + " 字节，不是页大小 " +
                           std::to_string(file->page_size) + " 的整数倍），可能已被截断");
    file->page_count = size / file->page_size;
    // Page 2 holds the definition of the system catalog; a database cannot be shorter.
    if (file->page_count < 3)
        FailOpen(path, "文件太小（" + std::to_string(size) +
                           " 字节），不是完整的 Access 数据库，"
                           "可能已被截断");
    // A non-zero key means encoded pages in Jet files and password encryption in ACE files
    // (whose page 0, read whole above, holds the encryption information).
    if (header->db_key != 0) {
        if (header->version >= 2)
            UnlockAceFile(*file, head_bytes, password);
        else
            file->cipher = MakeJetPageCipher(header->db_key);
    }
    std::vector<std::uint8_t> page2;
    const std::uint8_t* catalog = LoadPage(*file, 2, page2);
    if (catalog[0] != kPageTableDefinition)
        FailOpen(path, file->cipher ? "文件已损坏（解密后的系统目录定义页无效）"
                                    : "文件已损坏（系统目录的定义页无效）");
    // A definition page starts 02 01. Only a damaged key field of an encrypted file is not
    // caught by its password check: then this page is noise, whose first byte alone may be 02.
    if (file->cipher && catalog[1] != 0x01)
        FailOpen(path, "文件已损坏（解密后的系统目录定义页无效）");
    if (!PasswordAccepted(file->header, password))
        FailOpen(path, kWrongPassword);
    return file;
}

std::shared_ptr<AccessFile> OpenFile(const std::string& path,
                                     const std::optional<std::string>& password) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            throw DataAccessError("找不到文件 " + Quoted(path) + "。");
        FailOpen(path, std::string("无法访问文件（") + std::strerror(errno) + "）");
    }
    if (S_ISDIR(status.st_mode))
        FailOpen(path, "这是一个文件夹，不是数据库文件");
    if (!S_ISREG(status.st_mode))
        FailOpen(path, "不是普通文件");
    // O_NONBLOCK: should the path have become a FIFO since stat, opening it must not wait for
    // a writer; the fstat below refuses it then.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno == EACCES || errno == EPERM)
            FailOpen(path, "没有读取权限");
        FailOpen(path, std::string("无法读取文件（") + std::strerror(errno) + "）");
    }
    // The size is taken from the open file: it is what will be read.
    struct stat opened {};
    if (::fstat(fd.Get(), &opened) != 0 || !S_ISREG(opened.st_mode))
        FailOpen(path, "不是普通文件");
    return CheckImage(path, std::make_unique<ByteSource>(std::move(fd), opened.st_size), password);
}

} // namespace tw::data::access
