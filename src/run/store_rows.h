// What the run writes to the results store: an evaluation's finished row,
// with what only the run knows (the files behind the sum, when they were
// measured, where its picture went), as the store's record.
#pragma once

#include <string>

#include "output/row.h"
#include "run/sum.h"
#include "store/store.h"

// The SHA-256 of the summed files, in order: each file's name, a NUL, its
// size in bytes and a NUL, then its bytes (a file that cannot be read again
// adds its name and "?" only). The same inputs give the same key, however
// often the directory runs.
std::string files_sha256(const SpectrumSum& sum);

// When the sum was measured, for the store's time axis: from the files'
// stated start times where any file states one (those that do not are left
// out, as in the report); otherwise, or where the stated times mix UTC and
// local clocks, from the files' modification times less their real times
// (UTC); and where even those cannot be had, the run's start
// (`run_start_seconds`, UTC). Never from more than one source at once.
struct StoreTimes {
    int64_t start_seconds = 0;
    int64_t end_seconds = 0;
    bool utc = false;
    const char* source = kStartFromRun;
};
StoreTimes store_times(const SpectrumSum& sum, int64_t run_start_seconds);

// The store's record of `row`, evaluated from `sum`. `picture` is the
// picture's absolute path (empty: none drawn).
StoredEvaluation stored_evaluation(const FinishedRow& row, const SpectrumSum& sum, bool flagged,
                                   const std::string& picture, int64_t run_start_seconds);
