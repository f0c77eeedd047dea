// Segment files and manifests: bytes written, truncated and corrupt files.
#include <dirent.h>

#include <set>

#include "storage_fixture.h"

namespace {

using kt::read_file;
using kt::write_file;

std::string le32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = (char)((v >> (8 * i)) & 0xff);
    return s;
}
std::string le64(uint64_t v) {
    std::string s(8, '\0');
    for (int i = 0; i < 8; ++i) s[i] = (char)((v >> (8 * i)) & 0xff);
    return s;
}
std::string record(uint64_t seq, const std::string& key, const std::string& json) {
    return le64(seq) + std::string(1, '\0') + le32((uint32_t)key.size()) +
           le32((uint32_t)json.size()) + key + json;
}

class Segment : public kt::StorageTest {
  protected:
    void SetUp() override {
        kt::StorageTest::SetUp();
        create_table("t", "CREATE TABLE t (id string PRIMARY KEY, v int)");
        t_ = table("t");
        ASSERT_NE(t_, nullptr);
    }
    // Writes `bytes` as segment 3 and loads it into a fresh table t; the
    // loaders' result, with their message in err_.
    int load_segment_bytes(const std::string& bytes) {
        ensure_dir("kyreldb_data/databases/default/tables/t/segments");
        write_file("kyreldb_data/databases/default/tables/t/segments/seg_000003.dat", bytes);
        write_file("kyreldb_data/databases/default/tables/t/manifest.meta",
                   "TABLE=t\nACTIVE_SEGMENT=3\nNEXT_SEGMENT=4\nCHECKPOINT_SEQ=0\n");
        drop_and_load();
        t_ = table("t");
        err_[0] = '\0';
        if (manifests_load(err_, sizeof err_) != 0) return -1;
        return load_segments(err_, sizeof err_);
    }
    char err_[512] = "";
    Table* t_ = nullptr;
};

TEST_F(Segment, WritesNewestLiveVersionOfEachKeyStampedWithSeq) {
    put("t", "b", R"({"id":"b","v":1})");
    put("t", "a", R"({"id":"a","v":1})");
    put("t", "a", R"({"id":"a","v":2})");
    remove("t", "b");
    char err[256];
    {
        RwWriteGuard g(&t_->lock);
        ASSERT_EQ(segment_write_latest(t_, 500, 7, err, sizeof err), 0) << err;
    }
    EXPECT_EQ(read_file("kyreldb_data/databases/default/tables/t/segments/seg_000007.dat"),
              record(500, "a", R"({"id":"a","v":2})"));
    char path[512];
    table_segment_path("t", 1234567, path, sizeof path);
    EXPECT_STREQ(path, "./kyreldb_data/databases/default/tables/t/segments/seg_1234567.dat");
}

TEST_F(Segment, ManifestBytesAndNextSegmentDefault) {
    t_->active_segment = 4;
    t_->next_segment = 5;
    g_checkpoint_seq = 77;
    char err[256];
    ASSERT_EQ(manifest_save(t_, err, sizeof err), 0);
    EXPECT_EQ(read_file("kyreldb_data/databases/default/tables/t/manifest.meta"),
              "TABLE=t\nACTIVE_SEGMENT=4\nNEXT_SEGMENT=5\nCHECKPOINT_SEQ=77\n");
    for (const char* text : {"ACTIVE_SEGMENT=2\nNEXT_SEGMENT=0\n", "ACTIVE_SEGMENT=2\n"}) {
        write_file("kyreldb_data/databases/default/tables/t/manifest.meta", text);
        t_->next_segment = 9;
        t_->active_segment = 0;
        ensure_dir("kyreldb_data/databases/default/tables/t/segments");
        write_file("kyreldb_data/databases/default/tables/t/segments/seg_000002.dat", "");
        ASSERT_EQ(manifests_load(err, sizeof err), 0) << err;
        EXPECT_EQ(t_->active_segment, 2u) << text;
        EXPECT_EQ(t_->next_segment, text[17] == 'N' ? 1u : 9u) << text;
    }
}

// A segment is synced before its manifest names it, so anything but whole
// records of the writer's form is damage: loading refuses it, naming the
// file, the record and what is wrong, rather than drop rows or serve a row
// that is not JSON.
TEST_F(Segment, DamagedSegmentIsRefusedWithItsName) {
    const std::string r1 = record(9, "k1", R"({"id":"k1","v":1})");
    const std::string r2 = record(9, "k2", R"({"id":"k2","v":2})");
    const std::string r3 = record(9, "k3", R"({"id":"k3","v":3})");
    std::string tomb = r3;
    tomb[8] = 1;
    struct Case {
        const char* name;
        std::string bytes;
        const char* what;
    } cases[] = {
        {"cut in the third record", r1 + r2 + r3.substr(0, r3.size() - 4), "record 3 at offset"},
        // A length of 4 GiB - 1 must not be allocated: it runs past the file.
        {"huge key length",
         r1 + r2 + le64(9) + std::string(1, '\0') + le32(0xFFFFFFFFu) + le32(2) + "xx",
         "run past the end"},
        {"huge json length",
         r1 + r2 + le64(9) + std::string(1, '\0') + le32(1) + le32(0xFFFFFFF0u) + "k",
         "run past the end"},
        {"flipped quote", r1 + record(9, "k2", R"({"id":"k2","v":2#)"), "not a valid JSON object"},
        {"flipped colon", r1 + record(9, "k2", R"({"id";"k2","v":2})"), "not a valid JSON object"},
        {"row text", r1 + record(9, "k2", "k2 v 2"), "not a valid JSON object"},
        {"no key member", r1 + record(9, "k2", R"({"ie":"k2","v":2})"), "lacks its key"},
        {"other key", r1 + record(9, "k2", R"({"id":"k9","v":2})"), "differs from the row's key"},
        {"tombstone", r1 + tomb, "marked deleted"},
        {"other seq", r1 + record(10, "k2", R"({"id":"k2","v":2})"), "seq differs"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(load_segment_bytes(c.bytes), -1) << c.name;
        EXPECT_NE(strstr(err_, "kyreldb_data/databases/default/tables/t/segments/seg_000003.dat: "),
                  nullptr)
            << c.name << ": " << err_;
        EXPECT_NE(strstr(err_, c.what), nullptr) << c.name << ": " << err_;
    }
    ASSERT_EQ(load_segment_bytes(r1 + r2 + r3), 0) << err_;
    EXPECT_EQ(chain_length(t_), 3);
    EXPECT_EQ(latest("t", "k3"), R"({"id":"k3","v":3})");
    // Rows from a segment push the sequence counter above their seq.
    EXPECT_GT(next_seq(), 9u);
}

// Segments written before keys took one form hold a string key with its JSON
// escapes: loading takes the key from the row again, so a lookup by the
// decoded text finds it, and keys already in form are kept as they are.
TEST_F(Segment, OldEscapedKeysLoadInTheirDecodedForm) {
    ASSERT_EQ(load_segment_bytes(record(9, "a\\\"b", R"({"id":"a\"b","v":1})") +
                                 record(9, "\\\\", R"({"id":"\\","v":2})") +
                                 record(9, "\\\\\\\\", R"({"id":"\\\\","v":3})") +
                                 record(9, "plain", R"({"id":"plain","v":4})")),
              0)
        << err_;
    EXPECT_EQ(latest("t", "a\"b"), R"({"id":"a\"b","v":1})");
    EXPECT_EQ(latest("t", "\\"), R"({"id":"\\","v":2})");
    EXPECT_EQ(latest("t", "\\\\"), R"({"id":"\\\\","v":3})");
    EXPECT_EQ(latest("t", "plain"), R"({"id":"plain","v":4})");
    EXPECT_EQ(latest("t", "a\\\"b"), "");
}

std::set<std::string> names_in(const std::string& dir) {
    std::set<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') out.insert(e->d_name);
        closedir(d);
    }
    return out;
}

// A crash inside a checkpoint leaves files nothing will read again: the old
// segment after the manifest switch, a new segment before it, and the temp
// file of any metadata file caught before its rename. Start-up removes them
// and nothing else; a manifest that names no segment, or a segment that is
// not there, removes nothing.
TEST_F(Segment, StartUpRemovesFilesACrashLeftBehind) {
    const std::string tdir = "kyreldb_data/databases/default/tables/t";
    const std::string segs = tdir + "/segments";
    put("t", "a", R"({"id":"a","v":1})");
    checkpoint();
    put("t", "b", R"({"id":"b","v":2})");
    checkpoint();
    const std::string active = "seg_000002.dat";
    ASSERT_EQ(t_->active_segment, 2u);
    ASSERT_EQ(names_in(segs), std::set<std::string>{active});

    const std::string segment = read_file(segs + "/" + active);
    for (const char* orphan : {"seg_000001.dat", "seg_000003.dat", "seg_1234567.dat"})
        write_file(segs + "/" + orphan, segment);
    for (const char* other : {"seg_x.dat", "seg_000004.dat.bak", "notes.txt"})
        write_file(segs + "/" + other, "keep");
    const std::vector<std::string> temps = {
        tdir + "/manifest.meta.tmp",
        tdir + "/indexes.meta.tmp",
        "kyreldb_data/databases/default/catalog.meta.tmp",
        "kyreldb_data/databases/default/checkpoint.meta.tmp",
        "kyreldb_data/databases.meta.tmp",
        "kyreldb_data/bootstrap.checkpoint.meta.tmp",
    };
    for (const std::string& tmp : temps) write_file(tmp, "half");

    kt::restart();
    EXPECT_EQ(names_in(segs),
              (std::set<std::string>{active, "seg_x.dat", "seg_000004.dat.bak", "notes.txt"}));
    for (const std::string& tmp : temps) EXPECT_FALSE(kt::file_exists(tmp)) << tmp;
    t_ = table("t");
    ASSERT_NE(t_, nullptr);
    EXPECT_EQ(latest("t", "a"), R"({"id":"a","v":1})");
    EXPECT_EQ(latest("t", "b"), R"({"id":"b","v":2})");

    // Manifests that cannot be trusted to name the only segment (none named,
    // one that is not there, a number that does not read cleanly, a cut or
    // missing file) refuse the start, naming the manifest, and remove nothing.
    const struct {
        const char* manifest;  // nullptr: the file is deleted
        const char* what;
    } damaged[] = {
        {"TABLE=t\nNEXT_SEGMENT=3\n", "has no ACTIVE_SEGMENT line"},
        {"TABLE=t\nACTIVE_SEGMENT=7\nNEXT_SEGMENT=8\n", "seg_000007.dat, which is missing"},
        {"TABLE=t\nACTIVE_SEGMENT=2x\nNEXT_SEGMENT=3\n", "line 2 is not a manifest line"},
        {"TABLE=t\nACTIVE_SEGMENT=\nNEXT_SEGMENT=3\n", "line 2 is not a manifest line"},
        {"TABLE=t\nACTIVE_SEGMENT=2\nNEXT_SEGM", "cut short"},
        {"", "is empty"},
        {nullptr, "is missing, but"},
    };
    for (const auto& d : damaged) {
        write_file(segs + "/seg_000003.dat", segment);
        if (d.manifest)
            write_file(tdir + "/manifest.meta", d.manifest);
        else
            unlink((tdir + "/manifest.meta").c_str());
        kt::drop_memory_state();
        char err[512] = "";
        EXPECT_EQ(kyrel_storage::load_storage(err, sizeof err), -1) << d.what;
        EXPECT_NE(strstr(err, "tables/t/manifest.meta: "), nullptr) << err;
        EXPECT_NE(strstr(err, d.what), nullptr) << err;
        EXPECT_TRUE(kt::file_exists(segs + "/" + active)) << d.what;
        EXPECT_TRUE(kt::file_exists(segs + "/seg_000003.dat")) << d.what;
    }
}

}  // namespace
