// Agile encryption of ACE files: AES with its parameters in an XML descriptor.

#include "AccessBytes.h"
#include "CryptoSupport.h"

#include <algorithm>
#include <charconv>

namespace tw::data::access::crypto {

namespace {

// The most hash rounds agile encryption allows.
constexpr std::uint32_t kMaxSpinCount = 10'000'000;

constexpr std::string_view kPasswordEncryptor =
    "http://schemas.microsoft.com/office/2006/keyEncryptor/password";
// The blocks of the three keys agile encryption derives from the password.
constexpr std::array<std::uint8_t, 8> kVerifierInputBlock = {0xfe, 0xa7, 0xd2, 0x76,
                                                             0x3b, 0x4b, 0x9e, 0x79};
constexpr std::array<std::uint8_t, 8> kVerifierValueBlock = {0xd7, 0xaa, 0x0f, 0x6d,
                                                             0x30, 0x61, 0x34, 0x4e};
constexpr std::array<std::uint8_t, 8> kKeyValueBlock = {0x14, 0x6e, 0x0b, 0xe7,
                                                        0xab, 0xac, 0xd0, 0xd6};

// Agile encryption: one key for every page, each page its own CBC chain from the IV
// H(keyData salt ‖ block), cut or padded with 0x36 to the block size.
class AgileCipher final : public PageCipher {
public:
    AgileCipher(Secret key, std::vector<std::uint8_t> salt, const char* hash, std::uint32_t db_key)
        : key_(std::move(key)), salt_(std::move(salt)), hash_(hash), db_key_(db_key) {}

    bool Decrypt(std::uint32_t page, std::span<std::uint8_t> bytes) const override {
        Hasher hash(hash_);
        Secret iv = hash.Digest({salt_, Le32(db_key_ ^ page)});
        if (iv.size() == 0)
            return false;
        iv = Fit(std::move(iv), 16, 0x36);
        return AesDecrypt(key_.bytes(), iv.data(), bytes);
    }

private:
    Secret key_;
    std::vector<std::uint8_t> salt_;
    const char* hash_;
    std::uint32_t db_key_;
};

using Attributes = std::vector<std::pair<std::string_view, std::string_view>>;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The attributes of the tag whose name ends before `at`, up to its '>' or "/>"; nullopt when
// the tag is malformed. Values are taken as written: the ones read here (numbers, names,
// base64) hold no entities.
std::optional<Attributes> ReadAttributes(std::string_view xml, std::size_t at) {
    Attributes attributes;
    for (;;) {
        while (at < xml.size() && IsSpace(xml[at]))
            ++at;
        if (at >= xml.size())
            return std::nullopt;
        if (xml[at] == '>' || xml.substr(at, 2) == "/>")
            return attributes;
        const std::size_t name_end = xml.find_first_of("= \t\r\n<>/\"'", at);
        if (name_end == at || name_end == std::string_view::npos)
            return std::nullopt;
        const std::string_view name = xml.substr(at, name_end - at);
        at = name_end;
        while (at < xml.size() && IsSpace(xml[at]))
            ++at;
        if (at >= xml.size() || xml[at] != '=')
            return std::nullopt;
        ++at;
        while (at < xml.size() && IsSpace(xml[at]))
            ++at;
        if (at >= xml.size() || (xml[at] != '"' && xml[at] != '\''))
            return std::nullopt;
        const std::size_t close = xml.find(xml[at], at + 1);
        if (close == std::string_view::npos)
            return std::nullopt;
        attributes.emplace_back(name, xml.substr(at + 1, close - at - 1));
        at = close + 1;
    }
}

std::optional<std::string_view> Attribute(const Attributes& attributes, std::string_view name) {
    for (const auto& [key, value] : attributes) {
        if (key == name)
            return value;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> Number(std::optional<std::string_view> text) {
    std::uint32_t value = 0;
    if (!text || text->empty())
        return std::nullopt;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || end != text->data() + text->size())
        return std::nullopt;
    return value;
}

// Decodes base64 (whitespace ignored); nullopt for anything else.
std::optional<std::vector<std::uint8_t>> Base64(std::optional<std::string_view> text) {
    if (!text)
        return std::nullopt;
    std::vector<std::uint8_t> out;
    std::uint32_t bits = 0;
    int count = 0;
    int padding = 0;
    for (const char c : *text) {
        if (IsSpace(c))
            continue;
        int value = -1;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+')
            value = 62;
        else if (c == '/')
            value = 63;
        else if (c == '=')
            value = 0;
        if (value < 0 || (padding > 0 && c != '='))
            return std::nullopt;
        if (c == '=')
            ++padding;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        if (++count == 4) {
            const std::uint8_t group[3] = {static_cast<std::uint8_t>(bits >> 16),
                                           static_cast<std::uint8_t>(bits >> 8),
                                           static_cast<std::uint8_t>(bits)};
            if (padding > 2)
                return std::nullopt;
            out.insert(out.end(), group, group + 3 - padding);
            bits = 0;
            count = 0;
        }
    }
    if (count != 0)
        return std::nullopt;
    return out;
}

// OpenSSL's name of a hash algorithm as the descriptor names it; null for others.
const char* HashNamed(std::string_view name) {
    if (name == "SHA1" || name == "SHA-1")
        return "SHA1";
    if (name == "SHA256" || name == "SHA-256")
        return "SHA256";
    if (name == "SHA384" || name == "SHA-384")
        return "SHA384";
    if (name == "SHA512" || name == "SHA-512")
        return "SHA512";
    return nullptr;
}

// The size of the hashes of `hash`.
std::size_t HashSize(const char* hash) {
    return Hasher(hash).Size();
}

// What a keyData or encryptedKey element says about its cipher and hash.
struct AgileParameters {
    const char* hash = nullptr;
    std::size_t key_bytes = 0;
    std::size_t salt_size = 0;
    std::vector<std::uint8_t> salt;
};

// Reads the cipher and hash parameters of an element; an outcome when they cannot be used.
std::optional<AceUnlock> ReadParameters(const Attributes& element, AgileParameters& out) {
    const auto cipher = Attribute(element, "cipherAlgorithm");
    const auto chaining = Attribute(element, "cipherChaining");
    const auto hash = Attribute(element, "hashAlgorithm");
    if (!cipher || !chaining || !hash)
        return Outcome(Status::Damaged, "敏捷加密的描述缺少算法");
    if (*cipher != "AES")
        return Outcome(Status::Unsupported, "敏捷加密，加密算法 " + Printable(*cipher));
    if (*chaining != "ChainingModeCBC")
        return Outcome(Status::Unsupported, "敏捷加密，分组链接方式 " + Printable(*chaining));
    out.hash = HashNamed(*hash);
    if (!out.hash)
        return Outcome(Status::Unsupported, "敏捷加密，哈希算法 " + Printable(*hash));
    const auto hash_size = Number(Attribute(element, "hashSize"));
    const auto block_size = Number(Attribute(element, "blockSize"));
    const auto key_bits = Number(Attribute(element, "keyBits"));
    const auto salt_size = Number(Attribute(element, "saltSize"));
    auto salt = Base64(Attribute(element, "saltValue"));
    if (!hash_size || *hash_size != HashSize(out.hash) || !block_size || *block_size != 16 ||
        !key_bits || (*key_bits != 128 && *key_bits != 192 && *key_bits != 256) || !salt_size ||
        !salt || salt->empty() || salt->size() != *salt_size)
        return Outcome(Status::Damaged, "敏捷加密的参数无效");
    out.key_bytes = *key_bits / 8;
    out.salt_size = *salt_size;
    out.salt = std::move(*salt);
    return std::nullopt;
}

// Decodes an encrypted blob of the password's key encryptor and decrypts it with the key of
// `block`; empty when it cannot be read.
std::optional<Secret> DecryptBlob(Hasher& hash, const Secret& hn, const AgileParameters& key,
                                  std::array<std::uint8_t, 8> block,
                                  const std::vector<std::uint8_t>& blob) {
    Secret block_key = hash.Digest({hn.bytes(), block});
    if (block_key.size() == 0)
        return std::nullopt;
    block_key = Fit(std::move(block_key), key.key_bytes, 0x36);
    Secret plain(blob);
    if (!AesDecrypt(block_key.bytes(), key.salt.data(),
                    std::span<std::uint8_t>(plain.data(), plain.size())))
        return std::nullopt;
    return plain;
}

} // namespace

AceUnlock UnlockAgile(Bytes info, std::uint32_t db_key,
                      const std::optional<std::string>& password) {
    if (info.size() < 8 || ReadU32(info.data() + 4) != 0x40)
        return Outcome(Status::Damaged, "敏捷加密的描述头无效");
    const std::string_view xml(reinterpret_cast<const char*>(info.data() + 8), info.size() - 8);

    // The keyData element, and the encryptedKey of the password's key encryptor.
    std::optional<Attributes> key_data;
    std::optional<Attributes> encrypted_key;
    bool in_password_encryptor = false;
    bool other_encryptor = false;
    for (std::size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
        const bool closing = xml.substr(at + 1, 1) == "/";
        const std::size_t name_start = at + 1 + (closing ? 1 : 0);
        if (name_start >= xml.size())
            break;
        const std::size_t name_end =
            std::min(xml.find_first_of(" \t\r\n/>", name_start), xml.size());
        std::string_view name = xml.substr(name_start, name_end - name_start);
        if (const std::size_t colon = name.find(':'); colon != std::string_view::npos)
            name.remove_prefix(colon + 1);
        if (closing) {
            if (name == "keyEncryptor")
                in_password_encryptor = false;
            continue;
        }
        if (name == "keyData" && !key_data) {
            key_data = ReadAttributes(xml, name_end);
            if (!key_data)
                return Outcome(Status::Damaged, "敏捷加密的描述无法读取");
        } else if (name == "keyEncryptor") {
            const auto attributes = ReadAttributes(xml, name_end);
            if (!attributes)
                return Outcome(Status::Damaged, "敏捷加密的描述无法读取");
            in_password_encryptor = Attribute(*attributes, "uri") == kPasswordEncryptor;
            other_encryptor = other_encryptor || !in_password_encryptor;
        } else if (name == "encryptedKey" && in_password_encryptor && !encrypted_key) {
            encrypted_key = ReadAttributes(xml, name_end);
            if (!encrypted_key)
                return Outcome(Status::Damaged, "敏捷加密的描述无法读取");
        }
    }
    if (!key_data)
        return Outcome(Status::Damaged, "敏捷加密的描述中没有数据密钥参数");
    if (!encrypted_key) {
        if (other_encryptor)
            return Outcome(Status::Unsupported, "只能用证书解密的敏捷加密");
        return Outcome(Status::Damaged, "敏捷加密的描述中没有用于解密的密钥");
    }

    AgileParameters data;
    AgileParameters key;
    if (auto problem = ReadParameters(*key_data, data))
        return std::move(*problem);
    if (auto problem = ReadParameters(*encrypted_key, key))
        return std::move(*problem);
    const auto spin_count = Number(Attribute(*encrypted_key, "spinCount"));
    const auto verifier_input = Base64(Attribute(*encrypted_key, "encryptedVerifierHashInput"));
    const auto verifier_value = Base64(Attribute(*encrypted_key, "encryptedVerifierHashValue"));
    const auto key_value = Base64(Attribute(*encrypted_key, "encryptedKeyValue"));
    const std::size_t key_hash_size = HashSize(key.hash);
    // The key encryptor's salt is the IV of its three blobs, so it is one block long.
    if (!spin_count || *spin_count > kMaxSpinCount || key.salt.size() != 16 || !verifier_input ||
        verifier_input->size() % 16 != 0 || verifier_input->size() < key.salt_size ||
        !verifier_value || verifier_value->size() % 16 != 0 ||
        verifier_value->size() < key_hash_size || !key_value || key_value->size() % 16 != 0 ||
        key_value->size() < data.key_bytes)
        return Outcome(Status::Damaged, "敏捷加密的密钥参数无效");

    Hasher hash(key.hash);
    Secret hn;
    {
        const Secret password_bytes = PasswordBytes(password);
        hn = Stretch(hash, key.salt, password_bytes.bytes(), *spin_count);
    }
    if (hn.size() == 0)
        return Outcome(Status::Failed, "哈希");
    auto input = DecryptBlob(hash, hn, key, kVerifierInputBlock, *verifier_input);
    auto value = DecryptBlob(hash, hn, key, kVerifierValueBlock, *verifier_value);
    auto intermediate = DecryptBlob(hash, hn, key, kKeyValueBlock, *key_value);
    if (!input || !value || !intermediate)
        return Outcome(Status::Failed, "AES");
    const Secret digest = hash.Digest({input->first(key.salt_size)});
    if (digest.size() == 0)
        return Outcome(Status::Failed, "哈希");
    if (CRYPTO_memcmp(digest.bytes().data(), value->bytes().data(), key_hash_size) != 0)
        return Outcome(Status::WrongPassword);
    intermediate->Truncate(data.key_bytes);
    return Unlocked(std::make_unique<AgileCipher>(std::move(*intermediate), std::move(data.salt),
                                                  data.hash, db_key));
}

} // namespace tw::data::access::crypto
