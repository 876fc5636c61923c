#pragma once

// The benchmarks. Each runs in a process of its own (started by the driver in main.cpp),
// reports its samples with reportValue and throws BenchFailure when it cannot measure.

#include "BenchSupport.h"

namespace kitewell::bench {

struct BenchContext {
    ServiceAccess service;
    std::optional<QString> token; // signed in already (the polling benchmark's keyring holds it)
    int repetitions = 3;
    int run = 0; // index of this process among the runs of the same benchmark
    int pollSeconds = 60;
    QString uploadLog; // where the album service logs each upload it receives, if it does
};

// download_vs_durable_curl: one pass downloading every original into a fresh folder, against
// curl fetching the same URLs over one connection and its files then flushed as the program's are.
void benchDownload(const BenchContext& context);
// upload_client_vs_curl: the client alone uploading 200 retouched files, against curl streaming
// the same multipart bodies from files over one connection. upload_vs_curl: one effect pass
// returning them with 20,000 records in the state (saved after every upload), against the same
// saves plus curl paced to start an upload as often as the pass does (its uploads too follow a
// pause); upload_ui_stall_max_ms: the longest the window would wait during that pass.
void benchUpload(const BenchContext& context);
// upload_rss_growth_mb: peak resident growth while uploading one 256 MB file; cancel_ms: how
// long a call cancelled in the middle of that upload takes to end.
void benchUploadMemory(const BenchContext& context);
// idle_pass_20k_ms and ui_stall_max_ms: a pass with every original present;
// idle_pass_vs_curl: that pass over curl fetching the same workspace right after it.
void benchIdlePass(const BenchContext& context);
// state_save_20k_ms: one flushed save of a state of 20,000 records as a pass holds it (no
// service);
// state_save_floor_ms: the same bytes written, flushed and renamed by hand right after it;
// state_save_over_floor_ms: the first less the second, the save's own share.
void benchStateSave(const BenchContext& context);
// poll_idle_cpu_pct: this process's CPU time while the controller polls every second.
void benchPolling(const BenchContext& context);
// return_latency_p95_ms, return_latency_max_ms: from a retouched file's close (or move) into the
// return folder to the service's receipt of its upload, while the controller polls with returns
// on; return_stale_uploads: uploads that carried other bytes than the file's final ones. Run 0
// watches the return folder, run 1 (the figures ending "_watch_off") polls alone.
void benchReturnLatency(const BenchContext& context);
// rss_after_first_pass_mb, rss_after_200_passes_mb and their ratio: resident memory between
// the controller's polling passes over a large album, after the first and after 200.
void benchLongRun(const BenchContext& context);

} // namespace kitewell::bench
