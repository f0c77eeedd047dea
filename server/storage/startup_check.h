// Start-up consistency of the data directory as a whole: the checks that no
// single file's loader can make, run after the loaders and before replay.
#pragma once

#include <cstddef>

// 0 when the directory is consistent, else -1 with "<path>: <what is wrong>"
// (see startup_check.cpp for the rules). Runs once, single-threaded, after
// databases_load, the checkpoint files, catalog_load, manifests_load,
// load_indexes_meta and load_segments, and before WAL replay.
int data_dir_check_consistency(char* err, size_t errlen);
