// kyreldb_server entry: start-up in a fixed order, the accept loop, and an
// orderly shutdown. Exit status 0 after --about or a signal-driven shutdown,
// 1 for a command-line or start-up failure.
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include "base/config.h"
#include "exec/system_tables.h"
#include "runtime/auto_vacuum.h"
#include "runtime/conn_events.h"
#include "runtime/connection.h"
#include "runtime/read_path.h"
#include "runtime/server.h"
#include "runtime/wal_replay.h"
#include "runtime/write_path.h"
#include "storage/catalog.h"
#include "storage/checkpoint.h"
#include "storage/data_lock.h"
#include "storage/db_registry.h"
#include "storage/index_file.h"
#include "storage/paths.h"
#include "storage/segment.h"
#include "storage/startup_check.h"
#include "storage/wal.h"

namespace {

struct ThreadPool {
    std::unique_ptr<pthread_t[]> handles;
    int count = 0;
};

// Starts n threads of body; a failed pthread_create leaves that slot unused.
ThreadPool start_pool(int n, void* (*body)(void*)) {
    ThreadPool pool;
    pool.handles.reset(new (std::nothrow) pthread_t[n > 0 ? n : 1]);
    if (!pool.handles) return pool;
    for (int i = 0; i < n; i++) {
        if (pthread_create(&pool.handles[pool.count], nullptr, body, nullptr) == 0) {
            pthread_detach(pool.handles[pool.count]);
            pool.count++;
        }
    }
    return pool;
}

// Loads what the data directory holds, replays the logs, bootstraps security
// and opens the log writers. -1 after its message on standard error.
int load_data() {
    // Storage loaders, in this order: databases_load, checkpoint_meta_load,
    // db_checkpoint_load_all, catalog_load, manifests_load,
    // load_indexes_meta, load_segments; then the directory-wide checks. A
    // file that cannot be read whole stops start-up with its name and what
    // is wrong: serving around it would lose rows, tables or constraints.
    {
        char err[512] = {0};
        size_t n = sizeof err;
        if (databases_load(err, n) != 0 || checkpoint_meta_load(err, n) != 0 ||
            db_checkpoint_load_all(err, n) != 0 || catalog_load(err, n) != 0 ||
            manifests_load(err, n) != 0 || load_indexes_meta(err, n) != 0 ||
            load_segments(err, n) != 0 || data_dir_check_consistency(err, n) != 0) {
            fprintf(stderr, "refusing to start: %s\n",
                    err[0] ? err : "cannot load the data directory");
            return -1;
        }
    }
    // WAL replay: replay_wal(err, 256), result not tested.
    {
        char err[256] = {0};
        replay_wal(err, sizeof err);
    }
    // Security bootstrap: config_db, its system tables and the default
    // administrator, written through the change road as the commit thread
    // writes, so with g_checkpoint_lock held.
    {
        std::lock_guard<std::mutex> cp(g_checkpoint_lock);
        char err[256] = {0};
        if (system_bootstrap_security(err, sizeof err) != 0) {
            fprintf(stderr, "security bootstrap failed: %s\n", err);
            return -1;
        }
    }
    // Index rebuild: rebuild_all_indexes.
    {
        char err[256] = {0};
        rebuild_all_indexes(err, sizeof err);
    }
    // WAL writers: wal_writer_open, on failure "wal open failed: %s\n", exit 1.
    {
        char err[256] = {0};
        if (wal_writer_open(err, sizeof err) != 0) {
            fprintf(stderr, "wal open failed: %s\n", err);
            return -1;
        }
    }
    return 0;
}

// Starts the commit thread, the worker pools and, when configured, the
// auto-vacuum thread. -1 after its message on standard error.
int start_threads(pthread_t* vacuum, bool* vacuum_started) {
    // Commit thread: start commit_thread.
    {
        pthread_t commit;
        if (pthread_create(&commit, nullptr, commit_thread, nullptr) != 0) {
            fprintf(stderr, "cannot start commit thread\n");
            return -1;
        }
        pthread_detach(commit);
    }
    // Read workers: g_cfg.read_workers threads of read_worker_thread.
    ThreadPool read_pool = start_pool(g_cfg.read_workers, read_worker_thread);
    if (!read_pool.handles) {
        fprintf(stderr, "oom while creating worker arrays\n");
        return -1;
    }
    // Write-ingress workers: g_cfg.write_workers threads of write_ingress_worker.
    ThreadPool write_pool = start_pool(g_cfg.write_workers, write_ingress_worker);
    if (!write_pool.handles || write_pool.count < 1) {
        fprintf(stderr, "cannot start write workers\n");
        return -1;
    }

    ThreadPool conn_pool = start_pool(g_cfg.connection_workers, connection_worker_thread);
    if (!conn_pool.handles) {
        fprintf(stderr, "oom while creating worker arrays\n");
        return -1;
    }

    // Auto-vacuum: when g_cfg.auto_vacuum, start auto_vacuum_thread and join
    // it at shutdown.
    if (g_cfg.auto_vacuum) {
        *vacuum_started = pthread_create(vacuum, nullptr, auto_vacuum_thread, nullptr) == 0;
        if (!*vacuum_started) fprintf(stderr, "cannot start auto-vacuum thread\n");
    }

    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    g_server_start_ts = static_cast<int64_t>(time(nullptr));

    int cli = parse_cli_args(argc, argv);
    if (cli == 1) return 0;
    if (cli < 0) return 1;

    server_install_signals();
    conn_raise_fd_limit();
    // Nothing the server creates is readable by other users: WAL and tables
    // hold every row and the password hashes.
    data_dir_private_umask();
    ensure_parent_dirs();
    // One server per data directory: a second one would answer from its own
    // memory and its checkpoints would drop what the first acknowledged.
    {
        char err[512] = {0};
        if (data_dir_lock_acquire(err, sizeof err) != 0) {
            fprintf(stderr, "%s\n", err);
            return 1;
        }
    }
    if (long n = data_dir_tighten_modes())
        fprintf(stderr,
                "data directory %s: removed group and other access from %ld files and "
                "directories (now 0700/0600)\n",
                KYREL_DATA_ROOT, n);
    load_config_file();
    detect_runtime_resources(KYREL_DATA_ROOT);
    if (g_cfg.auto_tune) auto_tune_runtime_config();

    if (load_data() != 0) return 1;
    pthread_t vacuum{};
    bool vacuum_started = false;
    if (start_threads(&vacuum, &vacuum_started) != 0) return 1;

    int listen_fd = server_listen(g_server_port);
    if (listen_fd < 0) return 1;

    printf(
        "KyrelDB v5 tuned listening on %s:%d read_workers=%d write_workers=%d conn_workers=%d "
        "mem_limit=%llu bytes auto_vacuum=%s auto_tune=%s wal_sync_every=%d "
        "commit_group_wait_ms=%d cpus=%ld ram=%llu\n",
        "0.0.0.0", g_server_port, g_cfg.read_workers, g_cfg.write_workers, g_cfg.connection_workers,
        static_cast<unsigned long long>(g_cfg.memory_limit_bytes), g_cfg.auto_vacuum ? "on" : "off",
        g_cfg.auto_tune ? "on" : "off", g_cfg.wal_sync_every, g_cfg.commit_group_wait_ms,
        static_cast<long>(g_runtime.cpu_count),
        static_cast<unsigned long long>(g_runtime.ram_bytes));
    fflush(stdout);

    server_accept_loop(listen_fd);

    close(listen_fd);
    server_unblock_signals();
    if (vacuum_started) pthread_join(vacuum, nullptr);
    // WAL writers: wal_writer_close.
    wal_writer_close();
    // Worker pools are not joined: they end with the process.
    return 0;
}
