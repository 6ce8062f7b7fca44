// CryptoAPI AES encryption of ACE files.

#include "CryptoApi.h"

#include <algorithm>

namespace tw::data::access::crypto {

namespace {

// Hash rounds of CryptoAPI AES keys when the header has the AES flag; without it there are none.
constexpr std::uint32_t kAesRounds = 50000;

// CryptoAPI AES: Hf = SHA-1(Hn ‖ block); the key is the first bytes of
// SHA-1(Hf xor 64 × 0x36) ‖ SHA-1(Hf xor 64 × 0x5C) (CryptDeriveKey's rule, followed even
// when SHA-1 alone would be long enough). Every page is decrypted in ECB mode.
class AesCryptoApiCipher final : public PageCipher {
public:
    AesCryptoApiCipher(Secret hn, std::size_t key_bytes, std::uint32_t db_key)
        : hn_(std::move(hn)), key_bytes_(key_bytes), db_key_(db_key) {}

    Secret Key(std::array<std::uint8_t, 4> block) const {
        Hasher sha1("SHA1");
        const Secret hf = sha1.Digest({hn_.bytes(), block});
        if (hf.size() == 0)
            return Secret();
        Secret key(2 * sha1.Size());
        Secret pad(64);
        for (int half = 0; half < 2; ++half) {
            std::fill(pad.data(), pad.data() + pad.size(), half == 0 ? 0x36 : 0x5C);
            for (std::size_t i = 0; i < hf.size(); ++i)
                pad.data()[i] ^= hf.bytes()[i];
            if (!sha1.Digest({pad.bytes()}, key.data() + half * sha1.Size()))
                return Secret();
        }
        key.Truncate(key_bytes_);
        return key;
    }

    bool Decrypt(std::uint32_t page, std::span<std::uint8_t> bytes) const override {
        const Secret key = Key(Le32(db_key_ ^ page));
        return key.size() != 0 && AesDecrypt(key.bytes(), nullptr, bytes);
    }

private:
    Secret hn_;
    std::size_t key_bytes_;
    std::uint32_t db_key_;
};

} // namespace

AceUnlock UnlockCryptoApiAes(const CryptoApiVerifier& verifier, Bytes password) {
    const std::array<std::uint8_t, 4> block0 = {0, 0, 0, 0};
    Hasher sha1("SHA1");
    // The AES flag should say whether the password was hashed 50000 more times, but files
    // exist that were encrypted without those rounds and without the flag; should the verifier
    // not match, the other count is tried before the password is called wrong.
    const std::uint32_t first_rounds = (verifier.flags & kFlagAes) ? kAesRounds : 0;
    for (const std::uint32_t rounds : {first_rounds, kAesRounds - first_rounds}) {
        Secret hn = Stretch(sha1, verifier.salt, password, rounds);
        if (hn.size() == 0)
            return Outcome(Status::Failed, "SHA-1");
        auto cipher = std::make_unique<AesCryptoApiCipher>(std::move(hn), verifier.key_bytes,
                                                           verifier.db_key);
        const Secret key = cipher->Key(block0);
        Secret plain(verifier.check.bytes());
        if (key.size() == 0 ||
            !AesDecrypt(key.bytes(), nullptr, std::span<std::uint8_t>(plain.data(), plain.size())))
            return Outcome(Status::Failed, "AES");
        const Secret digest = sha1.Digest({plain.first(16)});
        if (digest.size() == 0)
            return Outcome(Status::Failed, "SHA-1");
        if (CRYPTO_memcmp(digest.bytes().data(), plain.bytes().data() + 16, 20) == 0)
            return Unlocked(std::move(cipher));
    }
    return Outcome(Status::WrongPassword);
}

} // namespace tw::data::access::crypto
