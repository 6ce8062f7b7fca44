// CryptoAPI RC4 encryption of ACE files.

#include "CryptoApi.h"

#include "AccessHeader.h"

namespace tw::data::access::crypto {

namespace {

// CryptoAPI RC4: the key of a block is SHA-1(H0 ‖ block), cut to the key size; a 40-bit key
// is followed by 11 zero bytes, as CryptoAPI's RC4 takes it.
class Rc4CryptoApiCipher final : public PageCipher {
public:
    Rc4CryptoApiCipher(Secret h0, std::size_t key_bytes, std::uint32_t db_key)
        : h0_(std::move(h0)), key_bytes_(key_bytes), db_key_(db_key) {}

    Secret Key(std::array<std::uint8_t, 4> block) const {
        Hasher sha1("SHA1");
        Secret key = sha1.Digest({h0_.bytes(), block});
        if (key.size() == 0)
            return key;
        key.Truncate(key_bytes_);
        return key_bytes_ == 5 ? Fit(std::move(key), 16, 0) : std::move(key);
    }

    bool Decrypt(std::uint32_t page, std::span<std::uint8_t> bytes) const override {
        const Secret key = Key(Le32(db_key_ ^ page));
        if (key.size() == 0)
            return false;
        Rc4Apply(key.bytes(), bytes);
        return true;
    }

private:
    Secret h0_;
    std::size_t key_bytes_;
    std::uint32_t db_key_;
};

} // namespace

AceUnlock UnlockCryptoApiRc4(CryptoApiVerifier verifier, Bytes password) {
    Secret& check = verifier.check;
    const std::array<std::uint8_t, 4> block0 = {0, 0, 0, 0};
    Hasher sha1("SHA1");
    Secret h0 = sha1.Digest({verifier.salt, password});
    if (h0.size() == 0)
        return Outcome(Status::Failed, "SHA-1");
    auto cipher =
        std::make_unique<Rc4CryptoApiCipher>(std::move(h0), verifier.key_bytes, verifier.db_key);
    const Secret key = cipher->Key(block0);
    if (key.size() == 0)
        return Outcome(Status::Failed, "SHA-1");
    // One key stream over the verifier and on over its hash.
    Rc4Apply(key.bytes(), std::span<std::uint8_t>(check.data(), check.size()));
    const Secret digest = sha1.Digest({check.first(16)});
    if (digest.size() == 0)
        return Outcome(Status::Failed, "SHA-1");
    if (CRYPTO_memcmp(digest.bytes().data(), check.bytes().data() + 16, 20) != 0)
        return Outcome(Status::WrongPassword);
    return Unlocked(std::move(cipher));
}

} // namespace tw::data::access::crypto
