/*
 * Korvane SDK: reach your own back end through local ports.
 *
 * Call korvane_start() once with a JSON configuration, then connect to the
 * local ports on 127.0.0.1 that your targets name.
 *
 * Threads. Every function may be called from any thread at any time.
 * korvane_start(), korvane_stop() and korvane_post_lifecycle() run one at a
 * time (a second caller waits for the first). korvane_status(),
 * korvane_error(), korvane_version(), korvane_result_text() and
 * korvane_set_listener() never wait for them: they answer from the last
 * snapshot at once, also while a start or stop is in progress.
 *
 * Returned texts. Every text the SDK returns is UTF-8, NUL-terminated and
 * never NULL. It belongs to the SDK (do not free it) and stays valid for the
 * thread that asked until that same thread calls the same function again;
 * calls from other threads never change or free it. Copy it to keep it longer.
 *
 * Failures. No C++ exception leaves these functions; an unexpected failure
 * inside the SDK (out of memory included) becomes KORVANE_INTERNAL_ERROR with
 * its text in korvane_error().
 */
#ifndef KORVANE_H
#define KORVANE_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KORVANE_API __attribute__((visibility("default")))
#else
#define KORVANE_API
#endif

/* The version of this header; korvane_version() gives the library's. */
#define KORVANE_VERSION_MAJOR 1
#define KORVANE_VERSION_MINOR 0
#define KORVANE_VERSION_PATCH 0
#define KORVANE_VERSION_TEXT "1.0.0"

/* "MAJOR.MINOR.PATCH" of the loaded library, e.g. "1.0.0". */
KORVANE_API const char* korvane_version(void);

/*
 * Result codes: X(name, value, text). The header and the library share this
 * one table; korvane_result_text() returns the text.
 */
#define KORVANE_RESULT_TABLE(X)                                                  \
    X(KORVANE_OK, 0, "started")                                                  \
    X(KORVANE_INVALID_CONFIG, 1001, "the configuration is not a JSON object")    \
    X(KORVANE_ALREADY_STARTED, 1004, "running already; stop first")              \
    X(KORVANE_OPEN_FAILED, 1009, "no tunnel came up; see korvane_error()")       \
    X(KORVANE_INTERNAL_ERROR, 1099, "unexpected failure in the SDK; see korvane_error()")

enum korvane_result {
#define KORVANE_RESULT_ENUM(name, value, text) name = value,
    KORVANE_RESULT_TABLE(KORVANE_RESULT_ENUM)
#undef KORVANE_RESULT_ENUM
};

/* The text of a result code; "unknown result" for any other number. */
KORVANE_API const char* korvane_result_text(int code);

/*
 * Starts the SDK from a UTF-8 JSON object:
 *   "access_key"             your access key (text; numbers are used as their text)
 *   "fast_tick_enabled"      shorter switch receive time-out (bool, default false)
 *   "log_enabled"            write a log under $TMPDIR/.debug (bool, default false)
 *   "lifecycle_keep_enabled" keep running in the background (bool, default false)
 * Booleans also accept the text "true" in any case and non-zero integers.
 * Blocks until at least one tunnel is open or the start has failed (about
 * 15 seconds at most, plus the control API's own time-outs). Files live under
 * $KORVANE_DOCUMENTS_DIR (else $HOME/Documents) + "/Korvane".
 * Returns one of the KORVANE_* codes; on failure korvane_error() says why.
 */
KORVANE_API int korvane_start(const char* configJson);

/* Stops the SDK and closes every local port. Returns 0, also when nothing
 * was started (KORVANE_INTERNAL_ERROR only on an unexpected failure); returns
 * once the worker thread has ended. */
KORVANE_API int korvane_stop(void);

/* The text of the last failure, "" when there is none. */
KORVANE_API const char* korvane_error(void);

/*
 * A JSON snapshot of the SDK, refreshed by the worker about once a second:
 *   {"started": bool, "running": bool, "state": text, "targets": [ {...}, ... ]}
 * "started" is true between a successful korvane_start() and korvane_stop();
 * "running" is false while suspended in the background. "state" is
 * "starting" while a start is in progress, then "open", "failed" or "ended"
 * (absent when nothing runs). Each target lists its masked switch, tunnel
 * state, live TCP connections and UDP peers, bytes and rates each way,
 * failovers so far and its last error.
 */
KORVANE_API const char* korvane_status(void);

/*
 * State-change listener, so that an app need not poll. fn(eventJson, ctx) is
 * called with a small JSON object:
 *   {"event":"tunnel_open","target_id":N}      a target's tunnel came up
 *   {"event":"tunnel_lost","target_id":N}      a target's tunnel went down
 *   {"event":"failover","target_id":N,"failovers":M}
 *                                              it is up again on another switch
 *   {"event":"stopped","reason":"stop"|"background"|"rebuild"}
 *   {"event":"error","error":"..."}            korvane_error() has a new text
 * Tunnel events follow the once-a-second status, in order. Calls come one at
 * a time on the SDK's notifier thread (named "korvane.notify"), never on the
 * caller's thread and never with an SDK lock held: fn may call every korvane_
 * function, korvane_stop() and korvane_set_listener() included. eventJson is
 * valid during the call only. korvane_set_listener(NULL, NULL) removes the
 * listener; a call already running may still finish after it returns, unless
 * it is made from inside the listener itself.
 */
typedef void (*korvane_listener)(const char* eventJson, void* ctx);
KORVANE_API void korvane_set_listener(korvane_listener fn, void* ctx);

/* Application lifecycle notifications, posted by the host. */
#define KORVANE_DID_ENTER_BACKGROUND 1
#define KORVANE_WILL_ENTER_FOREGROUND 2

/*
 * Posts a lifecycle notification. After a successful korvane_start(), entering
 * the background stops the SDK (unless "lifecycle_keep_enabled"), and coming
 * to the foreground starts it afresh from the last configuration. Blocks until
 * that is done. Returns 0, or -1 for an unknown notification.
 */
KORVANE_API int korvane_post_lifecycle(int notification);

#ifdef __cplusplus
}
#endif

#endif /* KORVANE_H */
