/*
 * Korvane SDK: reach your own back end through local ports.
 *
 * Call korvane_start() once with a JSON configuration, then connect to the
 * local ports on 127.0.0.1 that your targets name. All functions may be called
 * from any thread; each one is serialised with the others.
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

/* Result codes of korvane_start(). */
#define KORVANE_OK 0                /* started */
#define KORVANE_INVALID_CONFIG 1001 /* the configuration is not a JSON object */
#define KORVANE_ALREADY_STARTED 1004 /* running already; stop first */
#define KORVANE_OPEN_FAILED 1009    /* no tunnel came up; see korvane_error() */

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

/* Stops the SDK and closes every local port. Always returns 0, also when
 * nothing was started; returns once the worker thread has ended. */
KORVANE_API int korvane_stop(void);

/* The text of the last failure as UTF-8, "" when there is none; never NULL.
 * The pointer stays valid until the next korvane_error() call; do not free it. */
KORVANE_API const char* korvane_error(void);

/*
 * A JSON snapshot of the SDK, refreshed by the worker about once a second:
 *   {"started": bool, "running": bool, "targets": [ {...}, ... ]}
 * "started" is true between a successful korvane_start() and korvane_stop();
 * "running" is false while suspended in the background. Each target lists its
 * masked switch, tunnel state, live TCP connections and UDP peers, bytes and
 * rates each way, failovers so far and its last error.
 * The pointer stays valid until the next korvane_status() call; do not free it.
 */
KORVANE_API const char* korvane_status(void);

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
