// The ciphers of encoded and encrypted Access files.
//
// Jet (.mdb) page encoding is RC4 over every page but the first, keyed with four bytes: the key
// field of the unmasked header (u32 at 0x3E) xor the page number, little-endian. It needs no
// password; a Jet database password is a separate check of the header (AccessFormat).
//
// ACE (.accdb) files encrypted with a password keep that key field too, but there it only
// varies the key from page to page. Their encryption information follows the header, unmasked:
// a u16 length at 0x299, then, at 0x29B, a u16 major and a u16 minor version:
//   x.2 (x = 2, 3 or 4): CryptoAPI encryption, RC4 or AES, with a binary header and verifier;
//   4.4: agile encryption, AES with the parameters in an XML descriptor;
//   1.1 (Office binary RC4) and 3.3/4.3 (extensible, a third-party provider) are not read.
// Every scheme hashes a salt and the password (UTF-16LE, at most 255 code units, no terminator)
// into a secret, and from that secret and a 4-byte block derives a key (or, for agile, an IV)
// per block. Block 0 decrypts a random verifier and its hash, which is how a password is
// checked; the block of page n is the header's key xor n. The verifier covers neither that key
// nor the pages, so a damaged key passes the password check and shows only in the pages: the
// caller checks the first page it decrypts.

#include "AccessCrypto.h"

#include "AccessBytes.h"
#include "AccessHeader.h"
#include "CryptoSupport.h"

namespace tw::data::access {

namespace {

using crypto::Bytes;
using crypto::Outcome;
using crypto::Status;

// Where the encryption information of an ACE header page starts.
constexpr std::size_t kInfoLengthOffset = 0x299;
constexpr std::size_t kInfoOffset = 0x29B;

class JetPageCipher final : public PageCipher {
public:
    explicit JetPageCipher(std::uint32_t db_key) : db_key_(db_key) {}

    bool Decrypt(std::uint32_t page, std::span<std::uint8_t> bytes) const override {
        // Exactly four key bytes: a longer (padded) key gives another key stream.
        Rc4ApplyKey32(db_key_ ^ page, bytes);
        return true;
    }

private:
    std::uint32_t db_key_;
};

std::string Version(int major, int minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

} // namespace

std::unique_ptr<PageCipher> MakeJetPageCipher(std::uint32_t db_key) {
    return std::make_unique<JetPageCipher>(db_key);
}

AceUnlock UnlockAce(std::span<const std::uint8_t> page0, std::uint32_t db_key,
                    const std::optional<std::string>& password) {
    if (page0.size() < kInfoOffset + 4)
        return Outcome(Status::Damaged, "没有加密信息");
    const std::size_t length = ReadU16(page0.data() + kInfoLengthOffset);
    if (length < 8 || kInfoOffset + length > page0.size())
        return Outcome(Status::Damaged, "加密信息的长度 " + std::to_string(length) + " 无效");
    const Bytes info = page0.subspan(kInfoOffset, length);
    const int major = ReadU16(info.data());
    const int minor = ReadU16(info.data() + 2);
    if (minor == 2 && major >= 2 && major <= 4)
        return crypto::UnlockCryptoApi(info, db_key, password);
    if (major == 4 && minor == 4)
        return crypto::UnlockAgile(info, db_key, password);
    if (major == 1 && minor == 1)
        return Outcome(Status::Unsupported, "Office 二进制 RC4 加密，版本 1.1");
    if (minor == 3 && (major == 3 || major == 4))
        return Outcome(Status::Unsupported,
                       "可扩展加密，版本 " + Version(major, minor) + "，需要第三方加密提供程序");
    return Outcome(Status::Unsupported, "版本 " + Version(major, minor) + " 的加密");
}

} // namespace tw::data::access
