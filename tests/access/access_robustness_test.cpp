// Access reader against bad input: files that are not databases, truncated and damaged copies
// of the test files (made at run time), encrypted and password-protected files, loops in the
// file's chains, and the command line's answer to a bad source. Every case must end, well within
// the watchdog's 30 s, in values or in DataAccessErrors that say what went wrong: never a crash,
// a hang or a silently missing row. Where the damage is in the file's structure, every value
// that still reads is the original one; a byte flipped inside a value's own bytes cannot be told
// from a real value, and the flipped-bytes test counts such copies instead of failing them.

#include "AccessFormat.h"
#include "AccessImage.h"
#include "TestEnv.h"
#include "ValueText.h"
#include "tablewright/access/AccessProvider.h"
#include "tablewright/engine/Cls_Convertion.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tw::data {
namespace {

namespace fs = std::filesystem;
using Image = std::vector<std::uint8_t>;

const std::vector<std::string> kFixtures = {
    "jet3-test.mdb",          "jet3-msp-projects.mdb",
    "jet4-test.mdb",          "jet4-msp-projects.mdb",
    "jet4-numeric.mdb",       "jet4-delcol.mdb",
    "jet4-2003-unicode.mdb",  "jet4-password.mdb",
    "jet4-nopassword.mdb",    "jet4-empty.mdb",
    "ace12-olddates.accdb",   "ace12-currency.accdb",
    "ace12-longtext.accdb",   "ace12-withdeletedcol.accdb",
    "ace14-calcfields.accdb", "ace16-bigint.accdb",
    "gen-types.mdb",          "gen-big.mdb",
    "ace14-complex.accdb",
};

// Aborts the test program when one case has run for 30 s: a hang must fail, not wait forever.
class Watchdog {
public:
    Watchdog() : thread_([this] { Watch(); }) {}
    ~Watchdog() {
        stop_ = true;
        thread_.join();
    }

    // Names the case that runs now and gives it 30 s.
    void Case(std::string what) {
        std::lock_guard lock(mutex_);
        what_ = std::move(what);
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    }

private:
    void Watch() {
        while (!stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::lock_guard lock(mutex_);
            if (std::chrono::steady_clock::now() > deadline_) {
                std::fprintf(stderr, "HANG: '%s' did not finish within 30 s\n", what_.c_str());
                std::abort();
            }
        }
    }

    std::mutex mutex_;
    std::string what_ = "start";
    std::chrono::steady_clock::time_point deadline_ =
        std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::atomic<bool> stop_ = false;
    std::thread thread_;
};

const Image& Fixture(const std::string& name) {
    static std::map<std::string, Image> cache;
    auto it = cache.find(name);
    if (it == cache.end()) {
        // One bulk read: a byte-wise iterator takes tens of seconds over gen-big's 43 MB in the
        // sanitizer build.
        const std::string path = test::TestDataPath(name);
        std::ifstream in(path, std::ios::binary);
        Image image(std::filesystem::file_size(path));
        in.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
        it = cache.emplace(name, std::move(image)).first;
    }
    return it->second;
}

std::size_t PageSize(const Image& image) {
    return image.at(0x14) == 0 ? 2048 : 4096;
}

// The offset of the first occurrence of `bytes` in the image.
std::size_t Find(const Image& image, std::string_view bytes) {
    const auto it = std::search(image.begin(), image.end(), bytes.begin(), bytes.end());
    EXPECT_NE(it, image.end()) << "marker not found";
    return static_cast<std::size_t>(it - image.begin());
}

// Where the Jet4 row holding `marker` lies: its page (offset in the image), slot and start.
struct RowPlace {
    std::size_t page = 0;
    int slot = -1;
    int start = 0;
};

RowPlace RowHolding(const Image& image, std::string_view marker) {
    const std::size_t at = Find(image, marker);
    RowPlace place{at / 4096 * 4096};
    const int slots = access::ReadU16(image.data() + place.page + 12);
    for (int i = 0; i < slots; ++i) {
        const int start = access::ReadU16(image.data() + place.page + 14 + 2 * i) & 0x1FFF;
        if (place.page + start <= at && start > place.start)
            place = RowPlace{place.page, i, start};
    }
    EXPECT_GE(place.slot, 0);
    return place;
}

// Calls `f(page_offset)` for every long-value page of a Jet4 image.
template <class F> void ForEachLongValuePage(Image& image, F f) {
    for (std::size_t page = 4096; page < image.size(); page += 4096) {
        if (image[page] == access::kPageData && std::memcmp(&image[page + 4], "LVAL", 4) == 0)
            f(page);
    }
}

using test::ValueText;

// Everything a lenient caller gets from a database: per user table (and per complex column of
// one, as "table/column"), each row's value texts ("!" + error for a value that throws; a row
// that cannot be read is {"!row"}), and all errors.
struct Reading {
    std::string open_error;
    std::map<std::string, std::vector<std::vector<std::string>>> tables;
    std::vector<std::string> errors;
};

Reading ReadAll(const std::function<std::unique_ptr<Provider>()>& open) {
    Reading reading;
    std::unique_ptr<Provider> provider;
    try {
        provider = open();
    } catch (const DataAccessError& e) {
        reading.open_error = e.what();
        return reading;
    }
    std::vector<std::pair<std::string, std::function<std::unique_ptr<Recordset>()>>> sources;
    for (const auto& table : provider->SchemaTables()) {
        if (table.table_type != "TABLE")
            continue;
        const std::string name = table.table_name;
        sources.emplace_back(name, [&provider, name] { return provider->OpenTable(name); });
        try {
            for (const auto& complex : provider->ReadComplexColumns(name))
                if (complex.kind != ComplexKind::Other)
                    sources.emplace_back(name + "/" + complex.column, [&provider, name, complex] {
                        return provider->OpenComplexValues(name, complex.column);
                    });
        } catch (const DataAccessError& e) {
            reading.errors.push_back(e.what());
        }
    }
    for (const auto& [name, open_rows] : sources) {
        try {
            auto rs = open_rows();
            auto& rows = reading.tables[name];
            bool current = true; // false after a MoveNext that failed
            while (!rs->IsEOF()) {
                if (current) {
                    rows.emplace_back();
                    for (int i = 0; i < rs->FieldCount(); ++i) {
                        try {
                            rows.back().push_back(ValueText(rs->GetField(i).GetValue()));
                        } catch (const DataAccessError& e) {
                            rows.back().push_back(std::string("!") + e.what());
                            reading.errors.push_back(e.what());
                        }
                    }
                }
                try {
                    rs->MoveNext();
                    current = true;
                } catch (const DataAccessError& e) {
                    rows.push_back({"!row"});
                    reading.errors.push_back(e.what());
                    current = false;
                }
            }
        } catch (const DataAccessError& e) {
            reading.errors.push_back(e.what());
        }
    }
    return reading;
}

Reading ReadImage(const Image& image, const std::string& name = "image.mdb",
                  const std::optional<std::string>& password = std::nullopt) {
    return ReadAll([&] { return access::OpenAccessImage(name, image, password); });
}

// Only opens the image: the reading has no tables, and an error when the open failed.
Reading OpenOnly(const Image& image, const std::string& name) {
    Reading reading;
    try {
        access::OpenAccessImage(name, image, std::nullopt);
    } catch (const DataAccessError& e) {
        reading.open_error = e.what();
    }
    return reading;
}

Reading ReadFile(const std::string& path,
                 const std::optional<std::string>& password = std::nullopt) {
    return ReadAll([&] { return OpenAccessProvider(path, password); });
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Checks that `reading` has every table and row of `original`, each value equal or failed;
// returns the number of values (and rows) that failed.
int ExpectSameOrFailed(const Reading& original, const Reading& reading, const std::string& label) {
    int failed = 0;
    EXPECT_EQ(reading.tables.size(), original.tables.size()) << label;
    for (const auto& [table, rows] : original.tables) {
        const auto found = reading.tables.find(table);
        if (found == reading.tables.end()) {
            ADD_FAILURE() << label << ": table " << table << " is missing";
            continue;
        }
        const auto& other = found->second;
        if (other.size() != rows.size()) {
            ADD_FAILURE() << label << ": table " << table << " has " << other.size()
                          << " rows instead of " << rows.size();
            continue;
        }
        for (std::size_t r = 0; r < rows.size(); ++r) {
            if (other[r] == std::vector<std::string>{"!row"}) {
                ++failed;
                continue;
            }
            for (std::size_t c = 0; c < rows[r].size(); ++c) {
                if (other[r][c].starts_with("!"))
                    ++failed;
                else
                    EXPECT_EQ(other[r][c], rows[r][c])
                        << label << ": table " << table << " row " << r << " column " << c;
            }
        }
    }
    return failed;
}

class AccessRobustness : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tw-access-robust-" + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Write(const std::string& name, const void* data, std::size_t size) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary)
            .write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        return path;
    }
    std::string Write(const std::string& name, const Image& image) {
        return Write(name, image.data(), image.size());
    }

    fs::path dir_;
    Watchdog watchdog_;
};

// ---------------------------------------------------------------------------------------------
// Files that are no readable database at all

TEST_F(AccessRobustness, NonDatabasesAreRefusedNamingTheFile) {
    const Image& jet4 = Fixture("jet4-nopassword.mdb");
    Image random_pages(3 * 4096);
    std::generate(random_pages.begin(), random_pages.end(), std::mt19937(7));
    Image newer = jet4;
    newer[0x14] = 7; // a version byte no Access file has yet
    Image encrypted_ace = Fixture("ace12-currency.accdb");
    // The header's key field (RC4-masked like the rest of the header) set to a non-zero key,
    // which says the file is encrypted, with no encryption information after the header.
    for (int i = 0; i < 4; ++i)
        encrypted_ace[0x3E + i] ^= static_cast<std::uint8_t>(0x5A + i);
    const std::string text = "This is a text file, not a database.\n";

    struct Case {
        std::string path;
        std::string reason;
    };
    const std::string missing = (dir_ / "missing.mdb").string();
    fs::create_symlink(dir_ / "nowhere.mdb", dir_ / "dangling.mdb");
    fs::create_symlink(dir_ / "loop.mdb", dir_ / "loop.mdb");
    ASSERT_EQ(mkfifo((dir_ / "fifo.mdb").c_str(), 0600), 0);
    const std::vector<Case> cases = {
        {missing, "找不到文件"},
        {(dir_ / "dangling.mdb").string(), "找不到文件"},
        {(dir_ / "loop.mdb").string(), "无法访问文件"},
        {(dir_ / "missing-dir" / "x.mdb").string(), "找不到文件"},
        {dir_.string(), "文件夹"},
        {(dir_ / "fifo.mdb").string(), "不是普通文件"},
        {Write("empty.mdb", "", 0), "空的"},
        {Write("text.mdb", text.data(), text.size()), "不是 Access 数据库"},
        {Write("zeros.mdb", Image(3 * 4096)), "不是 Access 数据库"},
        {Write("random.mdb", random_pages), "不是 Access 数据库"},
        {Write("signature-only.mdb", jet4.data(), 19), "截断"},
        {Write("header-cut.mdb", jet4.data(), 0x90), "截断"},
        {Write("header-page.mdb", jet4.data(), 4096), "截断"},
        {Write("newer-version.mdb", newer), "不支持的数据库版本"},
        {Write("encrypted.accdb", encrypted_ace), "文件已损坏（加密信息无效"},
    };
    for (const auto& c : cases) {
        watchdog_.Case(c.path);
        const Reading reading = ReadFile(c.path);
        EXPECT_TRUE(Contains(reading.open_error, "'" + c.path + "'")) << reading.open_error;
        EXPECT_TRUE(Contains(reading.open_error, c.reason)) << reading.open_error;
    }
}

TEST_F(AccessRobustness, PasswordsAndPageEncoding) {
    const std::string locked = test::TestDataPath("jet4-password.mdb");
    for (const std::optional<std::string>& wrong :
         {std::optional<std::string>{}, std::optional<std::string>{"wrong"}}) {
        const Reading reading = ReadFile(locked, wrong);
        EXPECT_EQ(reading.open_error, "无法打开数据库 '" + locked + "'：不是有效的密码。");
    }
    EXPECT_TRUE(ReadFile(locked, "password").open_error.empty());

    // Jet4 "encoded" files: every page after the header RC4-encoded with the header's key
    // xor the page number. An encoded copy must read exactly like the plain file.
    for (const std::string name : {"jet4-nopassword.mdb", "gen-types.mdb", "jet3-test.mdb"}) {
        watchdog_.Case("encoded " + name);
        Image encoded = Fixture(name);
        const std::uint32_t key = 0x1234ABCDu;
        for (int i = 0; i < 4; ++i)
            encoded[0x3E + i] ^= static_cast<std::uint8_t>(key >> (8 * i));
        const std::size_t page_size = PageSize(encoded);
        for (std::size_t page = 1; page < encoded.size() / page_size; ++page)
            access::Rc4ApplyKey32(key ^ static_cast<std::uint32_t>(page),
                                  {encoded.data() + page * page_size, page_size});
        const Reading plain = ReadImage(Fixture(name));
        const Reading decoded = ReadImage(encoded);
        EXPECT_TRUE(decoded.open_error.empty()) << decoded.open_error;
        EXPECT_EQ(decoded.tables, plain.tables) << name;
    }
}

// Encryption information that cannot be used says why: damage is never called a wrong
// password, and a kind of encryption the reader does not decrypt is named. A damaged key field
// passes the password check (the verifier does not cover it), so it shows as damage in the
// first page decrypted with it.
TEST_F(AccessRobustness, DamagedOrUnsupportedEncryptionIsNotAWrongPassword) {
    const std::string rc4 = "ace12-encrypted-rc4.accdb";
    const std::string aes = "ace-encrypted-aes-nonstandard.accdb";
    const std::string agile = "ace-encrypted-agile-aes256.accdb";
    auto flip = [](std::size_t offset, std::uint8_t bits) {
        return [=](Image& image) { image.at(offset) ^= bits; };
    };
    auto replace = [](std::string_view from, std::string_view to) {
        return [=](Image& image) {
            std::copy(to.begin(), to.end(), image.begin() + static_cast<long>(Find(image, from)));
        };
    };
    auto version = [](std::uint8_t major, std::uint8_t minor) {
        return [=](Image& image) {
            image.at(0x29B) = major;
            image.at(0x29D) = minor;
        };
    };
    struct Case {
        std::string file;
        std::string damage;
        std::function<void(Image&)> apply;
        std::string reason;
    };
    const std::string damaged = "文件已损坏";
    const std::string unsupported = "文件使用了不支持的加密方式（";
    const std::vector<Case> cases = {
        {rc4, "length of the encryption information", flip(0x29A, 0x10), damaged},
        {rc4, "size of the CryptoAPI header", flip(0x2A3, 0x80), damaged},
        {rc4, "salt size", flip(0x31D, 0x01), damaged},
        {rc4, "key field", flip(0x3E, 0x01), damaged},
        {aes, "key size", flip(0x2B8, 0x02), damaged},
        {aes, "key field", flip(0x3F, 0x20), damaged},
        {agile, "descriptor header", flip(0x29F, 0x01), damaged},
        {agile, "element name", replace("<keyData ", "<keyDota "), damaged},
        {agile, "round count", replace("spinCount=\"1", "spinCount=\"x"), damaged},
        {agile, "key field", flip(0x40, 0x04), damaged},
        {rc4, "version 1.1", version(1, 1), unsupported + "Office 二进制 RC4"},
        {rc4, "version 4.3", version(4, 3), unsupported + "可扩展加密"},
        {rc4, "algorithm", flip(0x2AF, 0x03), unsupported + "CryptoAPI 加密，加密算法 0x6802"},
        {rc4, "external provider", flip(0x2A7, 0x10), unsupported + "由外部加密提供程序"},
        {agile, "cipher", replace("\"AES\"", "\"DES\""), unsupported + "敏捷加密，加密算法 DES"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file + ", " + c.damage);
        watchdog_.Case(c.file + ", " + c.damage);
        Image image = Fixture(c.file);
        c.apply(image);
        const std::string error =
            ReadImage(image, c.file, c.file == rc4 ? "Test123" : "password").open_error;
        EXPECT_TRUE(error.starts_with("无法打开数据库 '" + c.file + "'：" + c.reason)) << error;
        EXPECT_FALSE(Contains(error, "密码")) << error;
    }
}

// ---------------------------------------------------------------------------------------------
// Truncated and damaged copies of every test file

// A truncated copy must be refused when it is opened (naming the file), or read with every row
// present and every value equal to the original's or failing: nothing lost, nothing changed.
TEST_F(AccessRobustness, TruncatedCopiesOfEveryFixture) {
    int cases = 0;
    int refused = 0;
    int partly_read = 0;
    int fully_read = 0;
    for (const auto& name : kFixtures) {
        const Image& image = Fixture(name);
        const std::size_t page = PageSize(image);
        const std::size_t pages = image.size() / page;
        const bool big = image.size() > (8u << 20);
        // Inside the header page, inside the catalog pages, then whole pages cut throughout.
        std::vector<std::size_t> cuts = {1,
                                         0x14,
                                         0x90,
                                         page - 1,
                                         page + 100,
                                         2 * page + 7,
                                         image.size() / 2 + 1,
                                         image.size() - 1};
        for (std::size_t p : {std::size_t{1}, std::size_t{2}, std::size_t{3}, pages - 1})
            cuts.push_back(p * page);
        const std::size_t steps = big ? 4 : 14;
        for (std::size_t k = 1; k < steps; ++k)
            cuts.push_back(std::max<std::size_t>(4, pages * k / steps) * page);
        std::sort(cuts.begin(), cuts.end());
        cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

        const Reading original = big ? Reading{} : ReadImage(image);
        for (const std::size_t cut : cuts) {
            const std::string label = name + " cut at " + std::to_string(cut);
            watchdog_.Case(label);
            ++cases;
            // gen-big's copies stay in memory and are only opened: reading all of its rows
            // again and again would cost more than it shows.
            const std::string path = big ? "cut-" + name : Write("cut-" + name, image.data(), cut);
            const Reading reading =
                big ? OpenOnly(Image(image.begin(), image.begin() + static_cast<long>(cut)), path)
                    : ReadFile(path);
            if (!reading.open_error.empty()) {
                ++refused;
                EXPECT_TRUE(Contains(reading.open_error, "'" + path + "'")) << label;
                continue;
            }
            EXPECT_EQ(cut % page, 0u) << label << ": a cut inside a page must be refused";
            (reading.errors.empty() ? fully_read : partly_read) += 1;
            if (big)
                continue;
            ExpectSameOrFailed(original, reading, label);
        }
    }
    std::printf("truncated copies: %d cases, %d refused when opened, %d read with failed rows or "
                "values, %d read completely\n",
                cases, refused, partly_read, fully_read);
}

// Copies with a few bytes flipped where the reader looks (header, catalog, table definitions,
// data pages): whatever the bytes say, reading ends with values or DataAccessErrors.
TEST_F(AccessRobustness, FlippedBytesEndInValuesOrErrors) {
    constexpr int kCopiesPerFixture = 40;
    int cases = 0;
    int refused = 0;
    int with_errors = 0;
    int unchanged = 0;
    std::mt19937 rng(20240601);
    for (const auto& name : kFixtures) {
        const Image& image = Fixture(name);
        if (image.size() > (8u << 20))
            continue; // gen-big has a test of its own below
        const std::size_t page = PageSize(image);
        const std::size_t pages = image.size() / page;
        const Reading original = ReadImage(image, "flipped-" + name);
        std::vector<std::size_t> interesting; // table-definition and data pages
        for (std::size_t p = 1; p < pages; ++p) {
            if (image[p * page] == access::kPageTableDefinition ||
                image[p * page] == access::kPageData)
                interesting.push_back(p);
        }
        for (int copy = 0; copy < kCopiesPerFixture; ++copy) {
            Image damaged = image;
            const int flips = 1 + static_cast<int>(rng() % 4);
            for (int f = 0; f < flips; ++f) {
                const unsigned where = rng() % 8;
                const std::size_t target = where == 0   ? 0
                                           : where == 1 ? 2
                                                        : interesting[rng() % interesting.size()];
                // In the header only the first 0x98 bytes mean anything.
                const std::size_t offset = target * page + rng() % (target == 0 ? 0x98 : page);
                damaged[offset] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
            }
            watchdog_.Case(name + " flipped copy " + std::to_string(copy));
            ++cases;
            const Reading reading = ReadImage(damaged, "flipped-" + name);
            if (!reading.open_error.empty()) {
                ++refused;
                EXPECT_TRUE(Contains(reading.open_error, "'flipped-" + name + "'"))
                    << reading.open_error;
            } else if (!reading.errors.empty()) {
                ++with_errors;
            } else if (reading.tables == original.tables) {
                ++unchanged;
            }
        }
    }
    // Copies read without an error whose values differ from the original's had a value's own
    // bytes flipped: nothing in the file can tell such a value from a real one.
    std::printf("flipped copies: %d cases, %d refused when opened, %d read with failed rows or "
                "values, %d read the same as the original, %d read with changed values\n",
                cases, refused, with_errors, unchanged, cases - refused - with_errors - unchanged);
}

// Damage in the middle of gen-big's Orders table (IDs 1..200000 in page order): the rows of
// the damaged page, or the damaged row alone, fail; every other row is read.
TEST_F(AccessRobustness, DamageInsideATableFailsOnlyTheAffectedRows) {
    const Image& big = Fixture("gen-big.mdb");
    const RowPlace row = RowHolding(big, "Order 100001: ");

    // IDs read in order; the gaps between them are the rows that failed.
    auto read_ids = [](const Image& image, std::vector<std::string>& errors) {
        auto provider = access::OpenAccessImage("big.mdb", image, std::nullopt);
        auto rs = provider->OpenTable("Orders");
        std::vector<std::int64_t> ids;
        bool current = true;
        while (!rs->IsEOF()) {
            if (current)
                ids.push_back(std::get<std::int64_t>(rs->GetField(0).GetValue()));
            try {
                rs->MoveNext();
                current = true;
            } catch (const DataAccessError& e) {
                errors.push_back(e.what());
                current = false;
            }
        }
        return ids;
    };
    auto gaps = [](const std::vector<std::int64_t>& ids) {
        std::vector<std::pair<std::int64_t, std::int64_t>> missing; // [first, last]
        std::int64_t expected = 1;
        for (const auto id : ids) {
            if (id != expected)
                missing.emplace_back(expected, id - 1);
            expected = id + 1;
        }
        if (expected != 200001)
            missing.emplace_back(expected, 200000);
        return missing;
    };

    {
        watchdog_.Case("gen-big with a damaged row directory");
        Image damaged = big;
        damaged[row.page + 12] += 1; // one more row than the page holds
        std::vector<std::string> errors;
        const auto ids = read_ids(damaged, errors);
        const auto missing = gaps(ids);
        ASSERT_EQ(missing.size(), 1u);
        EXPECT_LE(missing[0].first, 100001);
        EXPECT_GE(missing[0].second, 100001);
        EXPECT_GT(missing[0].first, 99000); // only this page's rows
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_TRUE(Contains(errors[0], "'big.mdb'") && Contains(errors[0], "已损坏")) << errors[0];
    }
    {
        watchdog_.Case("gen-big with a damaged row");
        Image damaged = big;
        damaged[row.page + row.start] = 0xFF; // a column count the row cannot hold
        damaged[row.page + row.start + 1] = 0xFF;
        std::vector<std::string> errors;
        const auto ids = read_ids(damaged, errors);
        EXPECT_EQ(gaps(ids),
                  (std::vector<std::pair<std::int64_t, std::int64_t>>{{100001, 100001}}));
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_TRUE(Contains(errors[0], "第 100001 行")) << errors[0];
    }
}

// Long-value pages that are no longer data pages: every memo or OLE value stored on them fails,
// every other value (short memos are stored in the row) is the original's.
TEST_F(AccessRobustness, DamagedLongValuePagesFailOnlyTheirValues) {
    const Image& original = Fixture("gen-types.mdb");
    Image damaged = original;
    ForEachLongValuePage(damaged, [&](std::size_t page) { damaged[page] = 0x03; });
    const Reading reading = ReadImage(damaged);
    ASSERT_TRUE(reading.open_error.empty()) << reading.open_error;
    const int failed = ExpectSameOrFailed(ReadImage(original), reading, "long values");
    EXPECT_GT(failed, 0);
    EXPECT_EQ(static_cast<std::size_t>(failed), reading.errors.size());
    for (const auto& error : reading.errors)
        EXPECT_TRUE(Contains(error, "不是有效的数据页")) << error;
}

// Loops in the chains the format links: the reader reports them instead of following them.
TEST_F(AccessRobustness, LoopingChainsAreReported) {
    {
        // The catalog definition continues on itself.
        for (const std::string name : {"jet3-test.mdb", "jet4-test.mdb", "ace12-currency.accdb"}) {
            watchdog_.Case("definition loop " + name);
            Image looped = Fixture(name);
            const std::size_t catalog = 2 * PageSize(looped);
            looped[catalog + 4] = 2;
            looped[catalog + 5] = looped[catalog + 6] = looped[catalog + 7] = 0;
            EXPECT_TRUE(Contains(ReadImage(looped, name).open_error, "'" + name + "'"));
        }
    }
    {
        // Row "Three" of Table1 made a moved row that points at itself.
        watchdog_.Case("moved-row loop");
        Image looped = Fixture("jet4-nopassword.mdb");
        const RowPlace row = RowHolding(looped, "Three");
        looped[row.page + 14 + 2 * row.slot + 1] |= 0x40;
        const std::uint32_t self =
            static_cast<std::uint32_t>(row.page / 4096) << 8 | static_cast<std::uint32_t>(row.slot);
        for (int i = 0; i < 4; ++i)
            looped[row.page + row.start + i] = static_cast<std::uint8_t>(self >> (8 * i));
        const Reading reading = ReadImage(looped);
        ASSERT_TRUE(reading.open_error.empty()) << reading.open_error;
        const auto& rows = reading.tables.at("Table1");
        ASSERT_EQ(rows.size(), 3u);
        EXPECT_EQ(rows[0], (std::vector<std::string>{"1", "\"One\""}));
        EXPECT_EQ(rows[1], (std::vector<std::string>{"2", "\"Two\""}));
        EXPECT_EQ(rows[2], std::vector<std::string>{"!row"});
        ASSERT_EQ(reading.errors.size(), 1u);
        EXPECT_TRUE(Contains(reading.errors[0], "循环")) << reading.errors[0];
    }
    {
        // Every row of every long-value page points at itself as the next part of its value:
        // the long memo and OLE values of gen-types become loops.
        watchdog_.Case("long-value loop");
        Image looped = Fixture("gen-types.mdb");
        ForEachLongValuePage(looped, [&](std::size_t page) {
            const int slots = access::ReadU16(looped.data() + page + 12);
            for (int i = 0; i < slots; ++i) {
                const int start = access::ReadU16(looped.data() + page + 14 + 2 * i) & 0x1FFF;
                const std::uint32_t self =
                    static_cast<std::uint32_t>(page / 4096) << 8 | static_cast<std::uint32_t>(i);
                for (int k = 0; k < 4; ++k)
                    looped[page + start + k] = static_cast<std::uint8_t>(self >> (8 * k));
            }
        });
        const Reading reading = ReadImage(looped);
        ASSERT_TRUE(reading.open_error.empty()) << reading.open_error;
        EXPECT_TRUE(std::any_of(reading.errors.begin(), reading.errors.end(),
                                [](const std::string& e) { return Contains(e, "循环"); }));
    }
}

// ---------------------------------------------------------------------------------------------
// What the user sees: the window's critical message and the command line

// The window learns of a bad source through the engine's critical message: exactly one, naming
// the file, and the source stays closed.
TEST_F(AccessRobustness, EngineShowsOneMessageNamingTheFile) {
    engine::Cls_Convertion engine{tw::data::DefaultProviderFactory(),
                                  tw::data::DefaultScriptDestinationFactory()};
    std::vector<std::string> shown;
    engine.ShowCriticalMessage = [&shown](const std::string& text) { shown.push_back(text); };
    Image cut = Fixture("gen-types.mdb");
    cut.resize(cut.size() / 2 / 4096 * 4096);
    for (const std::string& path : {Write("cut.mdb", cut), (dir_ / "missing.mdb").string(),
                                    test::TestDataPath("jet4-password.mdb")}) {
        watchdog_.Case("engine with " + path);
        shown.clear();
        EXPECT_FALSE(engine.OpenSourceDB(path, "wrong"));
        ASSERT_EQ(shown.size(), 1u) << path;
        EXPECT_TRUE(Contains(shown[0], "'" + path + "'")) << shown[0];
        EXPECT_EQ(engine.SourceDB().State(), 0);
    }
}

struct CliResult {
    int exit_code = -1;
    std::string err;
};

// Runs the command line with the arguments (none holds a quote) and captures its stderr.
CliResult RunCli(const std::vector<std::string>& args, const fs::path& dir) {
    const std::string err_path = (dir / "cli.err").string();
    std::string command = std::string("'") + TABLEWRIGHT_CLI_PATH + "'";
    for (const auto& arg : args)
        command += " '" + arg + "'";
    command += " >/dev/null 2>'" + err_path + "'";
    const int status = std::system(command.c_str());
    std::ifstream in(err_path, std::ios::binary);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            std::string(std::istreambuf_iterator<char>(in), {})};
}

// A bad source ends the command line with exit status 2 and the file named on stderr before
// anything is written: the script file is not even created, and no server is contacted.
TEST_F(AccessRobustness, CommandLineRefusesBadSourcesBeforeWriting) {
    const Image& jet4 = Fixture("jet4-test.mdb");
    Image encrypted = Fixture("ace16-bigint.accdb");
    encrypted[0x3E] ^= 0x77;
    struct Case {
        std::string path;
        std::vector<std::string> extra;
    };
    const std::vector<Case> cases = {
        {(dir_ / "missing.mdb").string(), {}},
        {Write("text.mdb", "hello\n", 6), {}},
        {Write("cut-in-page.mdb", jet4.data(), 10 * 4096 + 512), {}},
        {Write("cut-data-pages.mdb", jet4.data(), jet4.size() / 2), {}},
        {Write("encrypted.accdb", encrypted), {}},
        {test::TestDataPath("jet4-password.mdb"), {"--source-password", "wrong"}},
        {test::TestDataPath("jet4-password.mdb"), {}},
    };
    const std::string script = (dir_ / "out.sql").string();
    for (const auto& c : cases) {
        for (const std::vector<std::string>& scenario :
             {std::vector<std::string>{"--scenario", "script", "--script", script},
              std::vector<std::string>{"--scenario", "both", "--script", script, "--port", "1"},
              std::vector<std::string>{"--list"}}) {
            watchdog_.Case("command line with " + c.path);
            std::vector<std::string> args = c.extra;
            args.insert(args.end(), scenario.begin(), scenario.end());
            args.push_back(c.path);
            const CliResult result = RunCli(args, dir_);
            EXPECT_EQ(result.exit_code, 2) << c.path << "\n" << result.err;
            EXPECT_TRUE(Contains(result.err, "'" + c.path + "'")) << result.err;
            EXPECT_FALSE(fs::exists(script)) << c.path;
        }
    }
}

} // namespace
} // namespace tw::data
