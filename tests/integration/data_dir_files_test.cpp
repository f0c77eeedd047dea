// The data directory's files at start-up: a damaged file stops the server
// with its name (never a start that serves around it), a full disk still
// opens for reading, and every file and directory is private to the server's
// user.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "fault_injection.h"
#include "kyrel_test.h"
#include "writes_helpers.h"

namespace {

namespace fs = std::filesystem;
using kyrel_test::TestServer;
using writes_test::Client;
using writes_test::ok;

std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}
void spill(const fs::path& p, const std::string& text) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << text;
}

class DataDirFiles : public ::testing::Test {
  protected:
    fs::path data() const { return fs::path(srv_.dir()) / "kyreldb_data"; }
    fs::path shop() const { return data() / "databases" / "shop"; }
    fs::path items() const { return shop() / "tables" / "items"; }

    std::unique_ptr<Client> connect() {
        auto c = std::make_unique<Client>();
        EXPECT_TRUE(c->connect(srv_.port()));
        writes_test::login_admin_as(*c, "files-pw");
        EXPECT_TRUE(ok(c->sql("USE shop")));
        return c;
    }

    void must(Client& c, const std::string& statement) {
        const std::string r = c.sql(statement);
        ASSERT_TRUE(ok(r)) << statement << " -> " << r;
    }

    // Two tables in shop, a unique index, rows in segments (a checkpoint) and
    // rows only in the log; a procedure file. The server is stopped after.
    void populate() {
        ASSERT_TRUE(srv_.start()) << srv_.last_error();
        Client c;
        ASSERT_TRUE(c.connect(srv_.port()));
        writes_test::login_admin_as(c, "files-pw");
        writes_test::use_or_create_database(c, "shop");
        must(c, "CREATE TABLE items (id int PRIMARY KEY, name string, email string)");
        must(c, "CREATE UNIQUE INDEX u_email ON items (email)");
        must(c, "CREATE TABLE notes (id int PRIMARY KEY, body string)");
        for (int i = 1; i <= 5; ++i)
            must(c, "INSERT INTO items VALUES (" + std::to_string(i) + ", 'item" +
                        std::to_string(i) + "', 'e" + std::to_string(i) + "@x')");
        must(c, "INSERT INTO notes VALUES (1, 'kept')");
        // A DROP TABLE checkpoints: the rows above move into segments.
        must(c, "CREATE TABLE scratch (id int PRIMARY KEY)");
        must(c, "DROP TABLE scratch");
        ASSERT_FALSE(segment_file().empty()) << "no checkpoint happened";
        must(c, "INSERT INTO items VALUES (6, 'item6', 'e6@x')");  // in the log only
        must(c, "CREATE PROCEDURE count_items ON items AS $$ SELECT * FROM items $$");
        ASSERT_EQ(srv_.stop(), 0);
    }

    std::string segment_file() const {
        if (!fs::exists(items() / "segments")) return "";
        for (const auto& e : fs::directory_iterator(items() / "segments"))
            if (e.path().filename().string().rfind("seg_", 0) == 0) return e.path().string();
        return "";
    }

    // Every item, as the server answers it; ok must be true.
    void expect_all_items(Client& c, const char* when) {
        const std::string r = c.sql("SELECT * FROM items");
        EXPECT_TRUE(ok(r)) << when << ": " << r;
        for (int i = 1; i <= 6; ++i)
            EXPECT_NE(r.find("item" + std::to_string(i)), std::string::npos) << when << ": " << r;
    }

    TestServer srv_;
};

// Start-up refuses each damaged copy with exit status 1 and a message naming
// the file and what is wrong; the undamaged copy starts and serves all rows.
TEST_F(DataDirFiles, DamagedFileRefusesToStartNamingIt) {
    ASSERT_NO_FATAL_FAILURE(populate());
    const fs::path pristine = fs::path(srv_.dir()) / "pristine";
    fs::copy(data(), pristine, fs::copy_options::recursive);

    using Edit = std::function<void()>;
    // Sets the byte at offset `off` of the first `what` in the file to `to`.
    auto flip = [](const std::string& path, const std::string& what, size_t off, char to) {
        std::string text = slurp(path);
        const size_t at = text.find(what);
        ASSERT_NE(at, std::string::npos) << what << " not in " << path;
        text[at + off] = to;
        spill(path, text);
    };
    auto cut = [](const fs::path& p, size_t n) { fs::resize_file(p, fs::file_size(p) - n); };
    const fs::path catalog = shop() / "catalog.meta";
    const struct {
        const char* name;
        Edit edit;
        std::string file;  // the message names it
        const char* what;
    } cases[] = {
        {"flipped byte in a segment row", [&] { flip(segment_file(), "\"name\":", 0, '#'); },
         "segments/seg_", "not a valid JSON object"},
        {"segment row without its key", [&] { flip(segment_file(), "\"id\"", 2, 'e'); },
         "segments/seg_", "lacks its key"},
        {"emptied catalog.meta", [&] { spill(catalog, ""); }, "shop/catalog.meta", "has no table"},
        {"deleted catalog.meta", [&] { fs::remove(catalog); }, "shop/catalog.meta", "has no table"},
        {"catalog.meta cut inside a line", [&] { cut(catalog, 3); }, "shop/catalog.meta",
         "cut short"},
        {"catalog.meta cut after a table",
         [&] {
             std::string text = slurp(catalog);
             spill(catalog, text.substr(0, text.find("END\n") + 4));
         },
         "shop/catalog.meta", "has no table"},
        {"damaged indexes.meta",
         [&] { flip((items() / "indexes.meta").string(), "INDEX3", 5, '4'); }, "items/indexes.meta",
         "not an index line"},
        {"cut indexes.meta", [&] { cut(items() / "indexes.meta", 2); }, "items/indexes.meta",
         "cut short"},
        {"deleted manifest.meta", [&] { fs::remove(items() / "manifest.meta"); },
         "items/manifest.meta", "is missing"},
        {"emptied manifest.meta", [&] { spill(items() / "manifest.meta", ""); },
         "items/manifest.meta", "is empty"},
        {"raised checkpoint.meta", [&] { spill(shop() / "checkpoint.meta", "987654321\n"); },
         "shop/checkpoint.meta", "is beyond every sequence number"},
        {"junk in checkpoint.meta", [&] { spill(shop() / "checkpoint.meta", "12x\n"); },
         "shop/checkpoint.meta", "does not hold a checkpoint number"},
        {"databases.meta without shop",
         [&] { spill(data() / "databases.meta", "default\nconfig_db\n"); }, "databases.meta",
         "does not list database shop"},
        {"deleted databases.meta", [&] { fs::remove(data() / "databases.meta"); }, "databases.meta",
         "does not list database shop"},
        {"emptied databases.meta", [&] { spill(data() / "databases.meta", ""); }, "databases.meta",
         "is empty"},
        {"emptied config_db catalog",
         [&] { spill(data() / "databases" / "config_db" / "catalog.meta", ""); },
         "config_db/catalog.meta", "has no table"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(data());
        fs::copy(pristine, data(), fs::copy_options::recursive);
        ASSERT_NO_FATAL_FAILURE(c.edit());
        const size_t seen = srv_.stderr_text().size();
        EXPECT_FALSE(srv_.start(std::chrono::seconds(5)));
        EXPECT_NE(srv_.last_error().find("server exited with status 1"), std::string::npos)
            << srv_.last_error();
        const std::string said = srv_.stderr_text().substr(seen);
        EXPECT_NE(said.find("refusing to start: "), std::string::npos) << said;
        EXPECT_NE(said.find(c.file), std::string::npos) << said;
        EXPECT_NE(said.find(c.what), std::string::npos) << said;
    }

    fs::remove_all(data());
    fs::copy(pristine, data(), fs::copy_options::recursive);
    ASSERT_TRUE(srv_.start()) << srv_.last_error() << srv_.stderr_text();
    auto c = connect();
    expect_all_items(*c, "undamaged copy");
}

// Start-up on a full disk writes nothing that has not changed, so the data
// can still be read; writes are refused with a JSON error.
TEST_F(DataDirFiles, FullDiskStillOpensForReading) {
    kyrel_test::FaultInjection faults(srv_);
    if (!faults.available()) GTEST_SKIP() << faults.why_unavailable();
    ASSERT_NO_FATAL_FAILURE(populate());
    const std::string idx = slurp(items() / "u_email.idx");
    faults.set("write * ENOSPC\nsync * ENOSPC\nrename * ENOSPC\n");
    ASSERT_TRUE(srv_.start()) << srv_.last_error() << srv_.stderr_text();
    EXPECT_EQ(slurp(items() / "u_email.idx"), idx) << "an index file was rewritten";
    EXPECT_EQ(srv_.stderr_text().find("cannot write databases meta"), std::string::npos)
        << srv_.stderr_text();
    auto c = connect();
    expect_all_items(*c, "full disk");
    const std::string r = c->sql("SELECT * FROM items WHERE email = 'e6@x'");
    EXPECT_TRUE(ok(r)) << r;
    EXPECT_NE(r.find("item6"), std::string::npos) << r;
    const std::string w = c->sql("INSERT INTO items VALUES (7, 'item7', 'e7@x')");
    EXPECT_FALSE(ok(w)) << w;
    EXPECT_NE(faults.log().find("write "), std::string::npos) << "no write was failed";
    faults.clear();
    ASSERT_TRUE(srv_.restart()) << srv_.last_error();
    c = connect();
    expect_all_items(*c, "after the disk was freed");
    EXPECT_EQ(c->sql("SELECT * FROM items").find("item7"), std::string::npos);
}

// Every entry under the data directory that is group- or other-accessible.
std::vector<std::string> open_entries(const fs::path& root) {
    std::vector<std::string> out;
    auto check = [&](const fs::path& p) {
        struct stat st;
        if (lstat(p.c_str(), &st) == 0 && !S_ISLNK(st.st_mode) && (st.st_mode & 077))
            out.push_back(p.string());
    };
    check(root);
    for (const auto& e : fs::recursive_directory_iterator(root)) check(e.path());
    return out;
}

// Files and directories the server makes are private whatever the umask it
// was started with; a tree left more open is tightened at start-up with one
// line saying so.
TEST_F(DataDirFiles, FilesArePrivateAndAnOpenTreeIsTightened) {
    const mode_t old = umask(022);
    ASSERT_NO_FATAL_FAILURE(populate());
    umask(old);
    ASSERT_TRUE(fs::exists(shop() / "procedures"));
    ASSERT_TRUE(fs::exists(items() / "u_email.idx"));
    EXPECT_EQ(open_entries(data()), std::vector<std::string>{});
    EXPECT_EQ(srv_.stderr_text().find("removed group and other access"), std::string::npos);

    for (const auto& e : fs::recursive_directory_iterator(data()))
        chmod(e.path().c_str(), e.is_directory() ? 0755 : 0644);
    chmod(data().c_str(), 0755);
    ASSERT_FALSE(open_entries(data()).empty());
    ASSERT_TRUE(srv_.start()) << srv_.last_error();
    const std::string said = srv_.stderr_text();
    const size_t at = said.find("removed group and other access");
    EXPECT_NE(at, std::string::npos) << said;
    EXPECT_EQ(said.find("removed group and other access", at + 1), std::string::npos) << said;
    // A running server's own files (log, lock, pid) stay private too.
    auto c = connect();
    must(*c, "INSERT INTO items VALUES (7, 'item7', 'e7@x')");
    EXPECT_EQ(open_entries(data()), std::vector<std::string>{});
}

}  // namespace
