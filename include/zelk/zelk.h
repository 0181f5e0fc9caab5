/* SPDX-License-Identifier: Apache-2.0 */
/**
 * \file
 * The C interface of zelk: the client, its records, the challenge container and its screens,
 * for hosts that call C (Kotlin and Java through JNI, Swift, C#, Dart, Python, Rust, C itself).
 * It is a surface over the same library as `<zelk/zelk.hpp>`: the same calls, texts, screens and
 * threads. The header is C99, includes only the C library, and compiles as C++ too.
 *
 * ## Conventions
 *
 * - **Handles.** Every object is an opaque handle made by a `_new` (or handed out by another
 *   call) and released by its `_free`. Handles are not addresses: the library checks each one it
 *   is given, so a handle that was freed, or one of another type, is refused with
 *   `ZELK_ERROR_INVALID_HANDLE` instead of being dereferenced. (A freed handle's value may be
 *   handed out again, after 2^32 handles on 64-bit systems and 2^12 on 32-bit ones; only then
 *   would a stale handle reach the new object.) Freeing a NULL or an already freed handle does
 *   nothing.
 * - **Statuses.** Every call returns a `zelk_status` (the few that cannot fail say so).
 *   `zelk_last_error` gives the message of the last failure on the calling thread. Nothing
 *   throws: a C++ exception inside the library becomes `ZELK_ERROR_INTERNAL` (or
 *   `ZELK_ERROR_NO_MEMORY`). When a call fails, its out-parameters are set to NULL, 0 or false.
 * - **Strings in** are UTF-8, given as a pointer and a length in bytes; `ZELK_NUL_TERMINATED` as
 *   the length means "up to the first NUL". A NULL pointer is only accepted where the parameter
 *   is documented as optional, and then means "none" whatever the length. Text that is not valid
 *   UTF-8 is refused with `ZELK_ERROR_INVALID_UTF8`.
 * - **Strings out** are allocated by the library, NUL-terminated, with their length in bytes
 *   stored in the optional `length` out-parameter, and belong to the caller, who releases them
 *   with `zelk_string_free`. An absent value comes out as NULL with status `ZELK_OK`.
 * - **Callbacks** are a function, a `user_data` pointer handed back to it, and an optional
 *   `free_user_data` that the library calls exactly once, when it drops the callback (after its
 *   last call, or without any call when the call it belonged to failed or was never answered).
 *   Each callback's thread is documented where it is taken.
 * - **Threads.** A client has a main thread: the thread that runs its main queue (a
 *   `zelk_run_loop`, or the host's own loop through `zelk_client_options.post`). Calls marked
 *   "main thread" fail with `ZELK_ERROR_WRONG_THREAD` elsewhere; the others may be made from any
 *   thread. Records and screen handles are immutable snapshots, readable from any thread.
 * - **Calling back in.** Inside a callback that the library is running, the calls that would run
 *   the library's main-thread logic at once (a container's or a screen's actions, making a
 *   container, running a loop or a task, flushing) fail with `ZELK_ERROR_REENTRANT`: post them to
 *   your loop instead. Reads, the calls that only send (attach, detach, identify, the list of
 *   the user's devices and the sign-outs), setting the user, subscribing, stopping a loop and
 *   the `_free` calls are allowed there; a free made there takes effect once the library is done
 *   with the object.
 */
#ifndef ZELK_ZELK_H
#define ZELK_ZELK_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

/** The version of this interface. It is the C library's SOVERSION (libzelk-c.so.1): a change
 *  that breaks the ABI raises it. */
#define ZELK_ABI_VERSION 1

/** Marks the functions of the interface; they are the only symbols the C library exports. */
#if defined(ZELK_C_STATIC)
#define ZELK_API
#elif defined(_WIN32)
#if defined(ZELK_C_BUILDING)
#define ZELK_API __declspec(dllexport)
#else
#define ZELK_API __declspec(dllimport)
#endif
#else
#define ZELK_API __attribute__((visibility("default")))
#endif

/* Nullability of pointers, for clang and the Swift importer; other compilers see nothing. */
#if defined(__clang__)
/** A pointer that must not be NULL (clang's `_Nonnull`). */
#define ZELK_NONNULL _Nonnull
/** A pointer that may be NULL (clang's `_Nullable`). */
#define ZELK_NULLABLE _Nullable
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wnullability-extension"
#else
#define ZELK_NONNULL
#define ZELK_NULLABLE
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** A string length meaning "up to the first NUL byte". */
#define ZELK_NUL_TERMINATED ((size_t)-1)
/** A timeout meaning "no time limit". */
#define ZELK_FOREVER UINT64_MAX
/** The parent index of the top-level elements of a screen (see `zelk_screen_child`). */
#define ZELK_SCREEN_ROOT ((size_t)-1)

/* ---- Statuses and strings ----------------------------------------------------------------- */

/** What a call did. */
typedef enum zelk_status {
  ZELK_OK = 0,                     /**< It succeeded. */
  ZELK_ERROR_NULL_ARGUMENT = 1,    /**< A handle or pointer that is required was NULL. */
  ZELK_ERROR_INVALID_HANDLE = 2,   /**< A handle was freed already, or is not of its type. */
  ZELK_ERROR_INVALID_UTF8 = 3,     /**< A text was not valid UTF-8. */
  ZELK_ERROR_INVALID_ARGUMENT = 4, /**< A value is not one the call takes (see the message). */
  ZELK_ERROR_WRONG_THREAD = 5,     /**< A main-thread call was made on another thread. */
  ZELK_ERROR_REENTRANT = 6,        /**< The call is not allowed inside a library callback. */
  ZELK_ERROR_UNAVAILABLE = 7,      /**< Not on this screen, or the screen is no longer shown. */
  ZELK_ERROR_OUT_OF_RANGE = 8,     /**< An index past the end of a list. */
  ZELK_ERROR_NO_MEMORY = 9,        /**< Memory ran out. */
  ZELK_ERROR_INTERNAL = 10,        /**< The library failed inside (see the message). */
  ZELK_STATUS_MAX_ = 0x7fffffff    /* keeps the type 32 bits wide */
} zelk_status;

/** The status's name, e.g. "ZELK_ERROR_INVALID_UTF8"; "ZELK_STATUS_UNKNOWN" for other values.
 *  A static string; cannot fail. Any thread. */
ZELK_API const char* ZELK_NONNULL zelk_status_name(zelk_status status);

/** The message of the last call on the calling thread that failed, e.g. "client is NULL"; NULL
 *  when no call on this thread has failed. Any thread. Cannot fail except for memory. */
ZELK_API zelk_status zelk_last_error(char* ZELK_NULLABLE* ZELK_NONNULL message,
                                     size_t* ZELK_NULLABLE length);

/** Releases a string the library handed out; NULL is ignored. Cannot fail. Any thread. */
ZELK_API void zelk_string_free(char* ZELK_NULLABLE string);

/** The library's version, "MAJOR.MINOR.PATCH" (the C++ library's `ZELK_VERSION`). A static
 *  string; cannot fail. Any thread. */
ZELK_API const char* ZELK_NONNULL zelk_version(void);

/** The `ZELK_ABI_VERSION` the library was built with; a host may compare it with the header's.
 *  Cannot fail. Any thread. */
ZELK_API int zelk_abi_version(void);

/** Where a callback that produces a text (a localiser, a date formatter) writes it. Valid only
 *  during that callback; it is a plain pointer, not a checked handle. */
typedef struct zelk_text zelk_text;

/** Sets the text a callback produces; the last call wins. `text` may be NULL for "no text"
 *  (the library then uses its default). Fails on NULL `out` or invalid UTF-8. */
ZELK_API zelk_status zelk_text_set(zelk_text* ZELK_NONNULL out, const char* ZELK_NULLABLE text,
                                   size_t length);

/** Releases a callback's `user_data`; called once when the library drops the callback. */
typedef void (*zelk_free_fn)(void* ZELK_NULLABLE user_data);

/** A callback without arguments (a notice: logged out, create an account, something changed). */
typedef void (*zelk_notify_fn)(void* ZELK_NULLABLE user_data);

/* ---- Main thread: run loops and tasks ----------------------------------------------------- */

/** A loop that runs the library's main-thread work for hosts without a loop of their own. The
 *  thread that makes it is its main thread; only that thread may run it. */
typedef struct zelk_run_loop zelk_run_loop;

/** One unit of the library's main-thread work, handed to the host's `post` hook. The host runs
 *  it once with `zelk_task_run` on its main thread, or drops it with `zelk_task_free` (at exit). */
typedef struct zelk_task zelk_task;

/** Makes a run loop whose main thread is the calling thread. Fails on NULL `out`. */
ZELK_API zelk_status zelk_run_loop_new(zelk_run_loop* ZELK_NULLABLE* ZELK_NONNULL out);

/** A handle to the process-wide loop, the one clients use when their options name no queue
 *  (the C++ `RunLoop::main()`). Its main thread is the first thread that asks for it. Free the
 *  handle when done; the loop itself stays. Fails on NULL `out`. */
ZELK_API zelk_status zelk_run_loop_main(zelk_run_loop* ZELK_NULLABLE* ZELK_NONNULL out);

/** Releases a run loop handle; the tasks still queued on a loop that nothing else holds are
 *  dropped without running. NULL and stale handles are ignored. Any thread. */
ZELK_API void zelk_run_loop_free(zelk_run_loop* ZELK_NULLABLE loop);

/** Runs the loop's tasks on the calling thread until `zelk_run_loop_stop` is called or
 *  `timeout_ms` (`ZELK_FOREVER`: no limit) has passed. A stop made while the loop was not running
 *  makes the next run return at once. Main thread of the loop (`ZELK_ERROR_WRONG_THREAD`
 *  elsewhere); not inside a callback (`ZELK_ERROR_REENTRANT`). */
ZELK_API zelk_status zelk_run_loop_run(zelk_run_loop* ZELK_NONNULL loop, uint64_t timeout_ms);

/** Tells whether the host's condition holds; called on the loop's thread. */
typedef bool (*zelk_predicate_fn)(void* ZELK_NULLABLE user_data);

/** Runs the loop's tasks until `predicate` returns true or `timeout_ms` passes (or a stop). The
 *  predicate is checked before waiting, after every task and when the time is up; `satisfied`
 *  (optional) receives its last answer. The predicate runs as a library callback. Same threads
 *  and failures as `zelk_run_loop_run`, and NULL `predicate`. */
ZELK_API zelk_status zelk_run_loop_run_until(zelk_run_loop* ZELK_NONNULL loop,
                                             zelk_predicate_fn ZELK_NONNULL predicate,
                                             void* ZELK_NULLABLE user_data, uint64_t timeout_ms,
                                             bool* ZELK_NULLABLE satisfied);

/** Makes the loop's current (or next) run return after the task in progress. Any thread, also
 *  inside callbacks. */
ZELK_API zelk_status zelk_run_loop_stop(zelk_run_loop* ZELK_NONNULL loop);

/** Runs a task the `post` hook received, and releases it. Call it on the main thread the hook
 *  serves; a task runs once (a second run fails with `ZELK_ERROR_INVALID_HANDLE`). Not inside a
 *  callback (`ZELK_ERROR_REENTRANT`; the task stays valid). */
ZELK_API zelk_status zelk_task_run(zelk_task* ZELK_NONNULL task);

/** Releases a task without running it (a host whose loop ends). NULL and stale handles are
 *  ignored. Any thread. */
ZELK_API void zelk_task_free(zelk_task* ZELK_NULLABLE task);

/** The host's hook that queues a task on its main thread: it must run `task` (with
 *  `zelk_task_run`) on that thread after at least `delay_ms` milliseconds, after the tasks posted
 *  before it with the same or a shorter delay, and never inside this call. Called from any
 *  thread, the library's network thread included. */
typedef void (*zelk_post_fn)(void* ZELK_NULLABLE user_data, zelk_task* ZELK_NONNULL task,
                             uint64_t delay_ms);

/** The host's answer to "is the calling thread the main thread?". Called from any thread. */
typedef bool (*zelk_is_main_thread_fn)(void* ZELK_NULLABLE user_data);

/* ---- Logs, texts and dates ---------------------------------------------------------------- */

/** How important a log record is. */
typedef enum zelk_log_level {
  ZELK_LOG_DEBUG = 0,
  ZELK_LOG_INFO = 1,
  ZELK_LOG_WARN = 2,
  ZELK_LOG_ERROR = 3
} zelk_log_level;

/** Receives one log record: its category ("Zelk SDK" for the lines to the developer,
 *  "EventSource" for the realtime stream's) and its message. The texts are valid during the
 *  call. Called on the thread that logs (the main thread or the network thread), possibly from
 *  several at once. */
typedef void (*zelk_log_fn)(void* ZELK_NULLABLE user_data, zelk_log_level level,
                            const char* ZELK_NONNULL category, size_t category_length,
                            const char* ZELK_NONNULL message, size_t message_length);

/** Routes every log record of the process to `sink`; NULL restores the default (the developer
 *  lines on standard output as "[Zelk SDK]: ...", the stream's records on standard error). The
 *  previous sink's `free_user_data` runs once no record is being written to it. Any thread. */
ZELK_API zelk_status zelk_set_log_sink(zelk_log_fn ZELK_NULLABLE sink,
                                       void* ZELK_NULLABLE user_data,
                                       zelk_free_fn ZELK_NULLABLE free_user_data);

/** Whether debug records reach the sink (off by default). Any thread. Cannot fail. */
ZELK_API zelk_status zelk_set_debug_logging(bool enabled);

/** Gives the display text of one of the screens' fixed texts, `key` (the keys are listed in
 *  `<zelk/localization.hpp>`; a key with a value has "%@" where it goes). Write the text with
 *  `zelk_text_set`; writing nothing, or the key itself, means "no entry". Called on the thread
 *  that draws (the main thread), possibly from several. */
typedef void (*zelk_localize_fn)(void* ZELK_NULLABLE user_data, const char* ZELK_NONNULL key,
                                 size_t key_length, zelk_text* ZELK_NONNULL out);

/** Replaces the localiser of the whole process; NULL restores the default (every key shown as
 *  written, or the built-in translation when those are on). Any thread. */
ZELK_API zelk_status zelk_set_localizer(zelk_localize_fn ZELK_NULLABLE localize,
                                        void* ZELK_NULLABLE user_data,
                                        zelk_free_fn ZELK_NULLABLE free_user_data);

/** Switches on the library's translations of the screens' texts (English, French, German,
 *  Spanish, Italian, Portuguese, Arabic, Polish; counts in the language's CLDR plural forms) in
 *  the language of `locale` ("fr_FR", "de"); NULL or empty
 *  means the environment's (LC_ALL, LC_MESSAGES, LANG). The host's localiser still wins. Any
 *  thread. */
ZELK_API zelk_status zelk_use_builtin_translations(const char* ZELK_NULLABLE locale,
                                                   size_t locale_length);

/** Switches the built-in translations off again. Any thread. Cannot fail. */
ZELK_API zelk_status zelk_stop_builtin_translations(void);

/** The display text of `key` as the screens would show it now. Any thread. */
ZELK_API zelk_status zelk_localized(const char* ZELK_NONNULL key, size_t key_length,
                                    char* ZELK_NULLABLE* ZELK_NONNULL text,
                                    size_t* ZELK_NULLABLE length);

/** Writes the text a device row shows for a date, given in milliseconds since the Unix epoch,
 *  with `zelk_text_set`. Called on the main thread. */
typedef void (*zelk_format_date_fn)(void* ZELK_NULLABLE user_data, int64_t unix_ms,
                                    zelk_text* ZELK_NONNULL out);

/** Replaces the date formatter of the whole process; NULL restores the default (the locale's
 *  date and time). Any thread. */
ZELK_API zelk_status zelk_set_date_formatter(zelk_format_date_fn ZELK_NULLABLE format,
                                             void* ZELK_NULLABLE user_data,
                                             zelk_free_fn ZELK_NULLABLE free_user_data);

/* ---- Records ------------------------------------------------------------------------------ */

/** The reply to attach and to detach. */
typedef struct zelk_attach_response zelk_attach_response;
/** The reply to identify. */
typedef struct zelk_identity zelk_identity;
/** A list of devices attached to a user. */
typedef struct zelk_device_list zelk_device_list;
/** One challenge as the service returns it. */
typedef struct zelk_challenge zelk_challenge;
/** The device-limit situation of the account behind a challenge. */
typedef struct zelk_device_limit zelk_device_limit;

/** The members of the records, for the accessors below. Each accessor says which it takes; any
 *  other fails with `ZELK_ERROR_INVALID_ARGUMENT`. */
typedef enum zelk_field {
  /* zelk_attach_response: texts */
  ZELK_ATTACH_ACCESS = 100,    /**< the token that opens the realtime stream ("access") */
  ZELK_ATTACH_DEVICE_ID = 101, /**< this device's ID at the service ("device_id") */
  /* zelk_attach_response: numbers (booleans are 0 or 1) */
  ZELK_ATTACH_ATTACHED_DEVICES = 110,     /**< devices the user has attached (always present) */
  ZELK_ATTACH_SUCCESS = 111,              /**< whether the service accepted the call (present) */
  ZELK_ATTACH_BLOCK_OVER_USAGE = 112,     /**< whether the project blocks over-use */
  ZELK_ATTACH_DEFAULT_DEVICE_LIMIT = 113, /**< the project's limit */

  /* zelk_device_list entries: texts */
  ZELK_DEVICE_ID = 200,         /**< the service's device ID ("_id", always present) */
  ZELK_DEVICE_MODEL = 201,      /**< the model name shown to users */
  ZELK_DEVICE_TYPE = 202,       /**< "mobile", "tablet" or "computer" */
  ZELK_DEVICE_VENDOR = 203,     /**< the device's vendor identifier */
  ZELK_DEVICE_OS_NAME = 204,    /**< the operating system's name */
  ZELK_DEVICE_OS_VERSION = 205, /**< the operating system's version */
  ZELK_DEVICE_CITY = 206,       /**< where the last access came from */
  ZELK_DEVICE_COUNTRY = 207,    /**< the same, its country */
  /* zelk_device_list entries: dates, in milliseconds since the Unix epoch */
  ZELK_DEVICE_CREATED_AT = 210, /**< the first attach */
  ZELK_DEVICE_UPDATED_AT = 211, /**< the last change */

  /* zelk_challenge: texts */
  ZELK_CHALLENGE_ID = 300,            /**< the challenge's ID ("_id", always present) */
  ZELK_CHALLENGE_PROJECT_ID = 301,    /**< the project's ID */
  ZELK_CHALLENGE_PROJECT_NAME = 302,  /**< the project's name shown on the screens */
  ZELK_CHALLENGE_LOGO = 303,          /**< the URL of the brand's logo */
  ZELK_CHALLENGE_PRIMARY_COLOR = 304, /**< the brand's colour, as hexadecimal text */
  ZELK_CHALLENGE_USER_ID = 305,       /**< the account holder's ID */
  ZELK_CHALLENGE_USER_EMAIL = 306,    /**< where an e-mailed code goes */
  ZELK_CHALLENGE_USER_PHONE = 307,    /**< where a texted code goes */
  /* zelk_challenge: numbers */
  ZELK_CHALLENGE_REQUIRE_VERIFICATION = 310, /**< 1 when a code comes before the limiter */

  /* zelk_device_limit: numbers (all present) */
  ZELK_LIMIT_ATTACHED_TOTAL = 400,     /**< all attached devices */
  ZELK_LIMIT_ATTACHED_COMPUTERS = 401, /**< attached computers (may be absent) */
  ZELK_LIMIT_ATTACHED_TABLETS = 402,   /**< attached tablets (may be absent) */
  ZELK_LIMIT_ATTACHED_MOBILES = 403,   /**< attached mobiles (may be absent) */
  ZELK_LIMIT_OVERALL = 404,            /**< devices of all kinds the account may keep */
  ZELK_LIMIT_COMPUTERS = 405,          /**< computers allowed */
  ZELK_LIMIT_TABLETS = 406,            /**< tablets allowed */
  ZELK_LIMIT_MOBILES = 407,            /**< mobiles allowed */
  ZELK_LIMIT_OVER = 410,               /**< 1 when the account is over a limit */

  ZELK_FIELD_MAX_ = 0x7fffffff /* keeps the type 32 bits wide */
} zelk_field;

/** A text member of an attach reply (`ZELK_ATTACH_ACCESS`, `ZELK_ATTACH_DEVICE_ID`); NULL when
 *  absent. Any thread. */
ZELK_API zelk_status zelk_attach_response_text(zelk_attach_response* ZELK_NONNULL response,
                                               zelk_field field,
                                               char* ZELK_NULLABLE* ZELK_NONNULL text,
                                               size_t* ZELK_NULLABLE length);
/** A number member of an attach reply (`ZELK_ATTACH_ATTACHED_DEVICES` .. `_DEFAULT_DEVICE_LIMIT`);
 *  `present` (optional) tells whether the reply had it. Any thread. */
ZELK_API zelk_status zelk_attach_response_number(zelk_attach_response* ZELK_NONNULL response,
                                                 zelk_field field, int64_t* ZELK_NONNULL value,
                                                 bool* ZELK_NULLABLE present);
/** The reply as a JSON object with the service's member names. Any thread. */
ZELK_API zelk_status zelk_attach_response_json(zelk_attach_response* ZELK_NONNULL response,
                                               char* ZELK_NULLABLE* ZELK_NONNULL json,
                                               size_t* ZELK_NULLABLE length);

/** The device identity and how sure the service is of it (0 to 1). Any thread. */
ZELK_API zelk_status zelk_identity_get(zelk_identity* ZELK_NONNULL identity,
                                       char* ZELK_NULLABLE* ZELK_NONNULL text,
                                       size_t* ZELK_NULLABLE length,
                                       double* ZELK_NULLABLE confidence);

/** Releases a device list; NULL and stale handles are ignored. Any thread. */
ZELK_API void zelk_device_list_free(zelk_device_list* ZELK_NULLABLE list);
/** How many devices the list holds. Any thread. */
ZELK_API zelk_status zelk_device_list_count(zelk_device_list* ZELK_NONNULL list,
                                            size_t* ZELK_NONNULL count);
/** A text member (`ZELK_DEVICE_ID` .. `ZELK_DEVICE_COUNTRY`) of device `index`; NULL when absent.
 *  `ZELK_ERROR_OUT_OF_RANGE` past the end. Any thread. */
ZELK_API zelk_status zelk_device_list_text(zelk_device_list* ZELK_NONNULL list, size_t index,
                                           zelk_field field, char* ZELK_NULLABLE* ZELK_NONNULL text,
                                           size_t* ZELK_NULLABLE length);
/** A date member (`ZELK_DEVICE_CREATED_AT`, `ZELK_DEVICE_UPDATED_AT`) of device `index`, in
 *  milliseconds since the Unix epoch; `present` (optional) tells whether it has one. Any
 *  thread. */
ZELK_API zelk_status zelk_device_list_date(zelk_device_list* ZELK_NONNULL list, size_t index,
                                           zelk_field field, int64_t* ZELK_NONNULL unix_ms,
                                           bool* ZELK_NULLABLE present);
/** The list as a JSON array of devices ("_id", "info", "createdAt", "updatedAt",
 *  "last_access"). Any thread. */
ZELK_API zelk_status zelk_device_list_json(zelk_device_list* ZELK_NONNULL list,
                                           char* ZELK_NULLABLE* ZELK_NONNULL json,
                                           size_t* ZELK_NULLABLE length);

/** How a one-time code is delivered. */
typedef enum zelk_channel { ZELK_CHANNEL_EMAIL = 0, ZELK_CHANNEL_TEXT = 1 } zelk_channel;

/** Releases a challenge; NULL and stale handles are ignored. Any thread. */
ZELK_API void zelk_challenge_free(zelk_challenge* ZELK_NULLABLE challenge);
/** A text member (`ZELK_CHALLENGE_ID` .. `ZELK_CHALLENGE_USER_PHONE`); NULL when absent. Any
 *  thread. */
ZELK_API zelk_status zelk_challenge_text(zelk_challenge* ZELK_NONNULL challenge, zelk_field field,
                                         char* ZELK_NULLABLE* ZELK_NONNULL text,
                                         size_t* ZELK_NULLABLE length);
/** `ZELK_CHALLENGE_REQUIRE_VERIFICATION` as 0 or 1; `present` (optional) tells whether the brand
 *  said. Any thread. */
ZELK_API zelk_status zelk_challenge_number(zelk_challenge* ZELK_NONNULL challenge, zelk_field field,
                                           int64_t* ZELK_NONNULL value,
                                           bool* ZELK_NULLABLE present);
/** The channels a code may be sent through, in order: `count` receives how many (0 also when
 *  the challenge names none), and `channels` (optional) receives up to `capacity` of them. Any
 *  thread. */
ZELK_API zelk_status zelk_challenge_channels(zelk_challenge* ZELK_NONNULL challenge,
                                             zelk_channel* ZELK_NULLABLE channels, size_t capacity,
                                             size_t* ZELK_NONNULL count);
/** The challenge as a JSON object with the service's member names. Any thread. */
ZELK_API zelk_status zelk_challenge_json(zelk_challenge* ZELK_NONNULL challenge,
                                         char* ZELK_NULLABLE* ZELK_NONNULL json,
                                         size_t* ZELK_NULLABLE length);

/** Releases a device-limit record; NULL and stale handles are ignored. Any thread. */
ZELK_API void zelk_device_limit_free(zelk_device_limit* ZELK_NULLABLE limit);
/** A number member (`ZELK_LIMIT_*`); `present` (optional) tells whether the record has it. Any
 *  thread. */
ZELK_API zelk_status zelk_device_limit_number(zelk_device_limit* ZELK_NONNULL limit,
                                              zelk_field field, int64_t* ZELK_NONNULL value,
                                              bool* ZELK_NULLABLE present);
/** The record as a JSON object with the service's member names. Any thread. */
ZELK_API zelk_status zelk_device_limit_json(zelk_device_limit* ZELK_NONNULL limit,
                                            char* ZELK_NULLABLE* ZELK_NONNULL json,
                                            size_t* ZELK_NULLABLE length);

/* ---- The client --------------------------------------------------------------------------- */

/** The client a host makes once to protect its user accounts (the C++ `zelk::Zelk`). */
typedef struct zelk_client zelk_client;
/** The logic of the view that lays the challenge over the host's content. */
typedef struct zelk_container zelk_container;

/** Where the client keeps the device identity. */
typedef enum zelk_preferences {
  ZELK_PREFERENCES_DEFAULT = 0, /**< the default file under $XDG_CONFIG_HOME/zelk/ */
  ZELK_PREFERENCES_MEMORY = 1,  /**< in memory only */
  ZELK_PREFERENCES_FILE = 2     /**< the JSON file at `preferences_path` */
} zelk_preferences;

/** Shows a client's own challenge container modally (clients made with `use_view_controller`).
 *  `container` is the host's to free. Return false, showing nothing, when the host has no
 *  active window. Main thread. */
typedef bool (*zelk_present_fn)(void* ZELK_NULLABLE user_data,
                                zelk_container* ZELK_NONNULL container);
/** Dismisses what `present` showed and then runs `completion` (with `zelk_task_run`) on the
 *  main thread. `container` is the host's to free. Main thread. */
typedef void (*zelk_dismiss_fn)(void* ZELK_NULLABLE user_data,
                                zelk_container* ZELK_NONNULL container,
                                zelk_task* ZELK_NONNULL completion);

/** The services a client runs on. Initialise it with `zelk_client_options_init`, which sets
 *  `size`; a library reads only the members that fit in `size`, so a host built against an older
 *  header keeps working with a newer library. Every string is a pointer and a length. */
typedef struct zelk_client_options {
  size_t size; /**< `sizeof(zelk_client_options)` as the host compiled it. */
  /** Prefix of every service URL, e.g. "http://127.0.0.1:8080"; NULL: the service's own. */
  const char* ZELK_NULLABLE base_url;
  size_t base_url_length; /**< The length of `base_url` in bytes, or `ZELK_NUL_TERMINATED`. */
  /** Whether challenges open in a modal screen of the client's own (see `present`). */
  bool use_view_controller;
  /** The main queue: a run loop (the handle is not kept; the loop is). NULL, and no `post`
   *  either: the process-wide loop (`zelk_run_loop_main`). */
  zelk_run_loop* ZELK_NULLABLE run_loop;
  /** The main queue: the host's own loop, given with `is_main_thread`. */
  zelk_post_fn ZELK_NULLABLE post;
  zelk_is_main_thread_fn ZELK_NULLABLE is_main_thread; /**< Goes with `post`. */
  void* ZELK_NULLABLE queue_user_data; /**< Handed to `post` and `is_main_thread`. */
  /** Releases `queue_user_data` once the client is gone. */
  zelk_free_fn ZELK_NULLABLE free_queue_user_data;
  zelk_preferences preferences;               /**< Where the device identity is kept. */
  const char* ZELK_NULLABLE preferences_path; /**< The file, for `ZELK_PREFERENCES_FILE`. */
  size_t preferences_path_length;             /**< Its length, or `ZELK_NUL_TERMINATED`. */
  /** The model reported for this device ("iPad" in it reports a tablet); NULL: this machine's
   *  facts, and the three members after it are not read. */
  const char* ZELK_NULLABLE device_model;
  size_t device_model_length;               /**< Its length, or `ZELK_NUL_TERMINATED`. */
  const char* ZELK_NULLABLE system_name;    /**< The operating system's name. */
  size_t system_name_length;                /**< Its length, or `ZELK_NUL_TERMINATED`. */
  const char* ZELK_NULLABLE system_version; /**< The operating system's version. */
  size_t system_version_length;             /**< Its length, or `ZELK_NUL_TERMINATED`. */
  /** A stable identifier of this device, an upper-case UUID; NULL: a fresh random one for
   *  every request. */
  const char* ZELK_NULLABLE vendor_id;
  size_t vendor_id_length; /**< Its length, or `ZELK_NUL_TERMINATED`. */
  /** An extra PEM bundle of certificate authorities to trust; NULL: the system's only. */
  const char* ZELK_NULLABLE ca_file;
  size_t ca_file_length; /**< Its length, or `ZELK_NUL_TERMINATED`. */
  /** Presents the challenge for `use_view_controller` clients; NULL: kept, not shown. */
  zelk_present_fn ZELK_NULLABLE present;
  zelk_dismiss_fn ZELK_NULLABLE dismiss;   /**< Dismisses it; NULL: done at once. */
  void* ZELK_NULLABLE presenter_user_data; /**< Handed to `present` and `dismiss`. */
  /** Releases `presenter_user_data` once the client is gone. */
  zelk_free_fn ZELK_NULLABLE free_presenter_user_data;
} zelk_client_options;

/** Fills `options` with the defaults and sets its `size`. Fails on NULL. */
ZELK_API zelk_status zelk_client_options_init(zelk_client_options* ZELK_NONNULL options);

/** Makes a client for the project `client_id` (the C++ `Zelk::create`): it registers for the
 *  host's lifecycle events (`zelk_client_post_app_event`) and makes no request. `options` may be
 *  NULL for the defaults. The queue's and presenter's `free_user_data` run when the client is
 *  gone, even when this call fails. Fails on NULL arguments, invalid UTF-8, a `size` smaller than
 *  the first members or larger than this library knows with non-zero members beyond, a `post`
 *  without `is_main_thread` (or the reverse), both a `run_loop` and a `post`, a stale run loop,
 *  or `ZELK_PREFERENCES_FILE` without a path. Any thread. */
ZELK_API zelk_status zelk_client_new(const char* ZELK_NONNULL client_id, size_t client_id_length,
                                     const zelk_client_options* ZELK_NULLABLE options,
                                     zelk_client* ZELK_NULLABLE* ZELK_NONNULL out);

/** Releases the host's handle. Service calls in flight go on or are abandoned; their callbacks
 *  may still run until the client is gone, and then every `free_user_data` runs. The client
 *  goes on the main thread: at once when called there outside callbacks, else through the main
 *  queue. NULL and stale handles are ignored. Any thread. */
ZELK_API void zelk_client_free(zelk_client* ZELK_NULLABLE client);

/** Sets the signed-in user; NULL clears it. Nothing else happens. Any thread. */
ZELK_API zelk_status zelk_client_set_user_id(zelk_client* ZELK_NONNULL client,
                                             const char* ZELK_NULLABLE user_id,
                                             size_t user_id_length);

/** Receives a decoded attach reply, whatever its status. `response` is valid only during the
 *  call. Called on the library's network thread. */
typedef void (*zelk_attach_fn)(void* ZELK_NULLABLE user_data,
                               zelk_attach_response* ZELK_NONNULL response);

/** Reports this device to the service for the current user. `metadata_json` (optional) is a JSON
 *  object of texts sent with it. Without a user, prints "[Zelk SDK]: userID must not be nil."
 *  and sends nothing. `on_complete` (optional) is called on the network thread with the decoded
 *  reply; it is not called when the request fails or the reply does not decode. Fails on
 *  metadata that is not a JSON object of texts. Any thread. */
ZELK_API zelk_status zelk_client_attach(zelk_client* ZELK_NONNULL client,
                                        const char* ZELK_NULLABLE metadata_json,
                                        size_t metadata_length,
                                        zelk_attach_fn ZELK_NULLABLE on_complete,
                                        void* ZELK_NULLABLE user_data,
                                        zelk_free_fn ZELK_NULLABLE free_user_data);

/** Receives a detach's outcome: the reply (valid during the call) on the main thread, or NULL
 *  at once (no user or no device) or on the network thread (a reply that does not decode). */
typedef void (*zelk_detach_fn)(void* ZELK_NULLABLE user_data,
                               zelk_attach_response* ZELK_NULLABLE response);

/** Detaches `device_id`, or the current device when it is NULL. When the reply names the current
 *  device, the client forgets its device ID and calls the logout callback on the main thread
 *  before `on_complete`. `on_complete` is not called when the request fails. Any thread. */
ZELK_API zelk_status zelk_client_detach(zelk_client* ZELK_NONNULL client,
                                        const char* ZELK_NULLABLE device_id,
                                        size_t device_id_length,
                                        zelk_detach_fn ZELK_NULLABLE on_complete,
                                        void* ZELK_NULLABLE user_data,
                                        zelk_free_fn ZELK_NULLABLE free_user_data);

/** Receives the identity on the main thread, or (identity NULL) an error message on the network
 *  thread: "Could not identify device" or "Unable to decode device response". Both valid during
 *  the call. */
typedef void (*zelk_identify_fn)(void* ZELK_NULLABLE user_data,
                                 zelk_identity* ZELK_NULLABLE identity,
                                 const char* ZELK_NULLABLE error, size_t error_length);

/** Asks the service to recognise this device and stores the identity it returns;
 *  `on_complete` (optional) runs exactly once. Same metadata rule as attach. Any thread. */
ZELK_API zelk_status zelk_client_identify(zelk_client* ZELK_NONNULL client,
                                          const char* ZELK_NULLABLE metadata_json,
                                          size_t metadata_length,
                                          zelk_identify_fn ZELK_NULLABLE on_complete,
                                          void* ZELK_NULLABLE user_data,
                                          zelk_free_fn ZELK_NULLABLE free_user_data);

/* The signed-in user's own devices, for the host's account settings: the list, and signing out
 * one of them by its ID or by the code of a new-device e-mail. The current device (the device ID
 * and the access of its last attach reply) vouches for these calls. */

/** Why a call about the user's own devices failed. Valid only during the callback it is handed
 *  to; the library fills it, the host reads it. */
typedef struct zelk_service_error {
  /** `sizeof(zelk_service_error)` as the library filled it: members past it are absent (a host
   *  built against a newer header reads only what fits). */
  size_t size;
  /** What went wrong, one sentence for the developer, NUL-terminated: the service's own text
   *  when it refused the call with one ("unknown device", "unknown access", "unknown code"),
   *  else the library's ("no device attached", "Could not load the devices", ...). Never
   *  NULL. */
  const char* ZELK_NONNULL message;
  size_t message_length; /**< The length of `message` in bytes. */
  /** The HTTP status of the service's reply (401, 404, 409, 429, ...); 0 when no reply arrived
   *  or nothing was sent. */
  int32_t status;
  /** Whether `next_change_at_ms` holds a date: only for a refusal under the project's cap on
   *  device changes (status 409). */
  bool has_next_change_at;
  /** When the next device change is allowed, in milliseconds since the Unix epoch. */
  int64_t next_change_at_ms;
} zelk_service_error;

/** Receives the user's devices, or why they could not be had: exactly one of `devices_json`
 *  and `error` is non-NULL, both valid only during the call. `devices_json` is a JSON object:
 *  "device_id" (the asking device's ID), "devices" (every device of the user, the current one
 *  first, each a device as `zelk_device_list_json` writes it with "current": true or false
 *  added, and "trusted_until" for a trusted device) and, when the project caps device changes,
 *  "swaps" ({"limit", "days", "used"}, and "next_change_at" once `used` has reached `limit`).
 *  Dates are texts in the service's format, "2024-05-01T12:00:00.000Z". Called on the main
 *  thread, or at once on the calling thread for the failures found before anything is sent. */
typedef void (*zelk_devices_fn)(void* ZELK_NULLABLE user_data,
                                const char* ZELK_NULLABLE devices_json, size_t devices_json_length,
                                const zelk_service_error* ZELK_NULLABLE error);

/** Lists the signed-in user's devices (the C++ `Zelk::devices`). `on_complete` runs exactly
 *  once: without a current device at once, before this call returns, with the error "no device
 *  attached"; otherwise on the main thread with the list, or with the service's refusal
 *  ("unknown access", status 401, for a device detached meanwhile; "unknown device", 404),
 *  "Could not load the devices" (no reply) or "Unable to decode devices response". Fails on a
 *  NULL `on_complete` (its `free_user_data` still runs). Any thread. */
ZELK_API zelk_status zelk_client_devices(zelk_client* ZELK_NONNULL client,
                                         zelk_devices_fn ZELK_NONNULL on_complete,
                                         void* ZELK_NULLABLE user_data,
                                         zelk_free_fn ZELK_NULLABLE free_user_data);

/** Receives a sign-out's outcome: exactly one of `response` (the service's reply, its
 *  `ZELK_ATTACH_DEVICE_ID` the device signed out) and `error` is non-NULL, both valid only
 *  during the call. Called on the main thread, or at once on the calling thread for the
 *  failures found before anything is sent. */
typedef void (*zelk_logout_device_fn)(void* ZELK_NULLABLE user_data,
                                      zelk_attach_response* ZELK_NULLABLE response,
                                      const zelk_service_error* ZELK_NULLABLE error);

/** Signs out `device_id`, one of the signed-in user's devices (the C++ `Zelk::logoutDevice`).
 *  When the reply names the current device, the client forgets its device ID and calls the
 *  logout callback (`zelk_client_on_logout`) first, as a detach of it does. `on_complete`
 *  (optional) runs exactly once: at once with "no device attached" (no current device) or "no
 *  device to sign out" (an empty `device_id`); otherwise on the main thread with the reply, or
 *  with the service's refusal: "unknown device" (404, no device of this user), "unknown access"
 *  (401), the service's sentence with the next change's date (409, the project's cap on device
 *  changes is used up) or a 429 refusal; "Could not sign the device out" when no reply came,
 *  "Unable to decode logout response" when it did not decode. Fails on a NULL `device_id` or
 *  invalid UTF-8. Any thread. */
ZELK_API zelk_status zelk_client_logout_device(zelk_client* ZELK_NONNULL client,
                                               const char* ZELK_NONNULL device_id,
                                               size_t device_id_length,
                                               zelk_logout_device_fn ZELK_NULLABLE on_complete,
                                               void* ZELK_NULLABLE user_data,
                                               zelk_free_fn ZELK_NULLABLE free_user_data);

/** Signs out the device named by `code`, the short code of a new-device e-mail ("K7QM-2XD9";
 *  surrounding white space is dropped, the rest is sent as typed) (the C++
 *  `Zelk::logoutDeviceWithCode`). As `zelk_client_logout_device`, with "no code given" at once
 *  for a code of white space only and "unknown code" (404) for a code the service does not
 *  know. Fails on a NULL `code` or invalid UTF-8. Any thread. */
ZELK_API zelk_status zelk_client_logout_device_with_code(
    zelk_client* ZELK_NONNULL client, const char* ZELK_NONNULL code, size_t code_length,
    zelk_logout_device_fn ZELK_NULLABLE on_complete, void* ZELK_NULLABLE user_data,
    zelk_free_fn ZELK_NULLABLE free_user_data);

/** Waits until every service call of the client has completed and its callback returned, or
 *  `timeout_ms` has passed; `idle` receives whether none is left. On the network thread it does
 *  not wait. Not inside a callback (`ZELK_ERROR_REENTRANT`). Any other thread. */
ZELK_API zelk_status zelk_client_flush(zelk_client* ZELK_NONNULL client, uint64_t timeout_ms,
                                       bool* ZELK_NULLABLE idle);

/** The service's ID of this device from the last attach reply; NULL when none. Any thread. */
ZELK_API zelk_status zelk_client_device_id(zelk_client* ZELK_NONNULL client,
                                           char* ZELK_NULLABLE* ZELK_NONNULL device_id,
                                           size_t* ZELK_NULLABLE length);

/** The device identity kept in the preferences store; NULL when none. Any thread. */
ZELK_API zelk_status zelk_client_identity(zelk_client* ZELK_NONNULL client,
                                          char* ZELK_NULLABLE* ZELK_NONNULL identity,
                                          size_t* ZELK_NULLABLE length);

/** Sets the callback for the service logging this device out (a realtime "logout", a detach
 *  naming it, the user's choice on a challenge): sign the user out. NULL removes it. Runs on the
 *  main thread. Main thread. */
ZELK_API zelk_status zelk_client_on_logout(zelk_client* ZELK_NONNULL client,
                                           zelk_notify_fn ZELK_NULLABLE callback,
                                           void* ZELK_NULLABLE user_data,
                                           zelk_free_fn ZELK_NULLABLE free_user_data);

/** Sets the callback for the user choosing to create an account of their own on a challenge's
 *  entry screen: show the host's sign-up. NULL removes it. Runs on the main thread. Main
 *  thread. */
ZELK_API zelk_status zelk_client_on_create_account(zelk_client* ZELK_NONNULL client,
                                                   zelk_notify_fn ZELK_NULLABLE callback,
                                                   void* ZELK_NULLABLE user_data,
                                                   zelk_free_fn ZELK_NULLABLE free_user_data);

/** The two application lifecycle events the client follows. */
typedef enum zelk_app_event {
  ZELK_APP_WILL_RESIGN_ACTIVE = 0, /**< leaving the foreground: the device is detached */
  ZELK_APP_DID_BECOME_ACTIVE = 1   /**< in the foreground again: the device is attached */
} zelk_app_event;

/** Tells the client of a lifecycle change; the detach or attach runs on the main queue. Any
 *  thread. */
ZELK_API zelk_status zelk_client_post_app_event(zelk_client* ZELK_NONNULL client,
                                                zelk_app_event event);

/* ---- The container and its screens -------------------------------------------------------- */

/** The phases of the scene that shows a container. */
typedef enum zelk_scene_phase {
  ZELK_SCENE_ACTIVE = 0,
  ZELK_SCENE_INACTIVE = 1,
  ZELK_SCENE_BACKGROUND = 2
} zelk_scene_phase;

/** Makes a container for `client` (the C++ `ZelkContainer::create`): the client's challenges go
 *  to it (the container made last wins) and it attaches once. Main thread; not inside a
 *  callback. */
ZELK_API zelk_status zelk_container_new(zelk_client* ZELK_NONNULL client,
                                        zelk_container* ZELK_NULLABLE* ZELK_NONNULL out);

/** Releases the handle; its subscriptions end. Like `zelk_client_free`, the container goes on
 *  the main thread. NULL and stale handles are ignored. Any thread. */
ZELK_API void zelk_container_free(zelk_container* ZELK_NULLABLE container);

/** Reports the scene's phase: a change to background or inactive detaches, to active attaches;
 *  the first report only records it. Main thread; not inside a callback. */
ZELK_API zelk_status zelk_container_set_scene_phase(zelk_container* ZELK_NONNULL container,
                                                    zelk_scene_phase phase);

/** The container's state, for `zelk_container_flag`. */
typedef enum zelk_container_state {
  ZELK_CONTAINER_CHALLENGE_VISIBLE = 0, /**< the challenge covers the content */
  ZELK_CONTAINER_LOADING_DEVICES = 1,   /**< the devices and limits are loading */
  ZELK_CONTAINER_DETACH_LOADING = 2     /**< selected devices are being logged out */
} zelk_container_state;

/** One flag of the container's state. Main thread. */
ZELK_API zelk_status zelk_container_flag(zelk_container* ZELK_NONNULL container,
                                         zelk_container_state state, bool* ZELK_NONNULL value);

/** The service's ID of the device the user holds, as the container knows it; NULL before the
 *  attach reply. Main thread. */
ZELK_API zelk_status zelk_container_current_device_id(zelk_container* ZELK_NONNULL container,
                                                      char* ZELK_NULLABLE* ZELK_NONNULL device_id,
                                                      size_t* ZELK_NULLABLE length);

/** The challenge on show (the last one delivered); NULL before any. Free it. Main thread. */
ZELK_API zelk_status zelk_container_challenge(zelk_container* ZELK_NONNULL container,
                                              zelk_challenge* ZELK_NULLABLE* ZELK_NONNULL out);

/** The devices attached to the challenged account, as last loaded. Free it. Main thread. */
ZELK_API zelk_status zelk_container_attached_devices(
    zelk_container* ZELK_NONNULL container, zelk_device_list* ZELK_NULLABLE* ZELK_NONNULL out);

/** Calls `callback` on the main thread after every change of what the container shows: its
 *  state, the screens' stack, the screen on top. `token` (optional) receives the subscription's
 *  token. Main thread. */
ZELK_API zelk_status zelk_container_subscribe(zelk_container* ZELK_NONNULL container,
                                              zelk_notify_fn ZELK_NONNULL callback,
                                              void* ZELK_NULLABLE user_data,
                                              zelk_free_fn ZELK_NULLABLE free_user_data,
                                              uint64_t* ZELK_NULLABLE token);

/** Ends the subscription `token` (its `free_user_data` runs); unknown tokens are ignored. Main
 *  thread. */
ZELK_API zelk_status zelk_container_unsubscribe(zelk_container* ZELK_NONNULL container,
                                                uint64_t token);

/** A snapshot of one challenge screen: what it showed and its state when it was taken. */
typedef struct zelk_screen zelk_screen;

/** A snapshot of the screen on top of the challenge's stack; NULL while the challenge is hidden.
 *  The first call after a challenge shows makes its screens, starting at the entry screen. Free
 *  it. Main thread. */
ZELK_API zelk_status zelk_container_screen(zelk_container* ZELK_NONNULL container,
                                           zelk_screen* ZELK_NULLABLE* ZELK_NONNULL out);

/** Pops the top screen (the back control); `popped` (optional) is false at the root or while
 *  hidden. Main thread; not inside a callback. */
ZELK_API zelk_status zelk_container_back(zelk_container* ZELK_NONNULL container,
                                         bool* ZELK_NULLABLE popped);

/** The screens of a challenge. */
typedef enum zelk_screen_kind {
  ZELK_SCREEN_ENTRY = 0,                /**< "ChallengeEntryView" */
  ZELK_SCREEN_DEVICE_LIMITER = 1,       /**< "DeviceLimiterView" */
  ZELK_SCREEN_VERIFICATION_OPTIONS = 2, /**< "VerificationOptionsView" */
  ZELK_SCREEN_VERIFICATION_CODE = 3     /**< "VerificationCodeView" */
} zelk_screen_kind;

/** Values of a screen snapshot, for `zelk_screen_text` and `zelk_screen_number`. */
typedef enum zelk_screen_value {
  /* texts, every screen */
  ZELK_SCREEN_NAME = 0,          /**< e.g. "ChallengeEntryView" */
  ZELK_SCREEN_PLAIN_TEXT = 1,    /**< the elements one per line, as the terminal host prints */
  ZELK_SCREEN_ELEMENTS_JSON = 2, /**< the element tree as a JSON array */
  /* texts of one kind of screen */
  ZELK_SCREEN_TITLE = 10,             /**< entry: "Start your own <project> account today" */
  ZELK_SCREEN_CODE = 11,              /**< code: the code typed so far */
  ZELK_SCREEN_MESSAGE = 12,           /**< code: "We've sent a code to ..." */
  ZELK_SCREEN_RESEND_LABEL = 13,      /**< code: "Resend in <n> seconds" */
  ZELK_SCREEN_DEVICES_TO_LOGOUT = 14, /**< limiter: what the user must log out */
  /* numbers, every screen */
  ZELK_SCREEN_DEPTH = 20, /**< the screen's place in the stack, 1 for the root */
  /* numbers of one kind of screen (booleans are 0 or 1) */
  ZELK_SCREEN_VERIFIES_FIRST = 30,     /**< entry: a code comes before the limiter */
  ZELK_SCREEN_CODE_FOCUS = 31,         /**< code: the box that has the focus, from 0 */
  ZELK_SCREEN_SECONDS_TO_RESEND = 32,  /**< code: seconds before a resend is allowed */
  ZELK_SCREEN_VERIFYING = 33,          /**< code: the code is being checked */
  ZELK_SCREEN_VALID_CODE = 34,         /**< code: six characters, not rejected */
  ZELK_SCREEN_VERIFIED = 35,           /**< code: the service accepted it */
  ZELK_SCREEN_EMAIL_CODE_SENDING = 36, /**< options: an e-mailed code is being requested */
  ZELK_SCREEN_EMAIL_CODE_SENT = 37,    /**< options: it was requested */
  ZELK_SCREEN_TEXT_CODE_SENDING = 38,  /**< options: a texted code is being requested */
  ZELK_SCREEN_TEXT_CODE_SENT = 39,     /**< options: it was requested */
  ZELK_SCREEN_OVER_LIMIT = 40,         /**< limiter: the loaded state exceeds a limit */
  ZELK_SCREEN_VALUE_MAX_ = 0x7fffffff  /* keeps the type 32 bits wide */
} zelk_screen_value;

/** Releases a screen snapshot; NULL and stale handles are ignored. Any thread. */
ZELK_API void zelk_screen_free(zelk_screen* ZELK_NULLABLE screen);
/** Which screen it is. Any thread. */
ZELK_API zelk_status zelk_screen_kind_of(zelk_screen* ZELK_NONNULL screen,
                                         zelk_screen_kind* ZELK_NONNULL kind);
/** A text value (`ZELK_SCREEN_NAME` .. `ZELK_SCREEN_DEVICES_TO_LOGOUT`); `ZELK_ERROR_UNAVAILABLE`
 *  for one of another kind of screen. Any thread. */
ZELK_API zelk_status zelk_screen_text(zelk_screen* ZELK_NONNULL screen, zelk_screen_value value,
                                      char* ZELK_NULLABLE* ZELK_NONNULL text,
                                      size_t* ZELK_NULLABLE length);
/** A number value (`ZELK_SCREEN_DEPTH` .. `ZELK_SCREEN_OVER_LIMIT`); `ZELK_ERROR_UNAVAILABLE` for
 *  one of another kind of screen. Any thread. */
ZELK_API zelk_status zelk_screen_number(zelk_screen* ZELK_NONNULL screen, zelk_screen_value value,
                                        int64_t* ZELK_NONNULL number);
/** The limiter's limits and attached devices as loaded; NULL until they arrive. Free it.
 *  `ZELK_ERROR_UNAVAILABLE` on other screens. Any thread. */
ZELK_API zelk_status zelk_screen_device_limit(zelk_screen* ZELK_NONNULL screen,
                                              zelk_device_limit* ZELK_NULLABLE* ZELK_NONNULL out);
/** The devices the user ticked on the limiter, in the order ticked. Free it.
 *  `ZELK_ERROR_UNAVAILABLE` on other screens. Any thread. */
ZELK_API zelk_status zelk_screen_selected_devices(
    zelk_screen* ZELK_NONNULL screen, zelk_device_list* ZELK_NULLABLE* ZELK_NONNULL out);

/* Elements. A screen is a tree of elements, numbered 0, 1, ... in the order they are drawn (each
 * element before its children). `zelk_screen_child` walks the tree from `ZELK_SCREEN_ROOT`. */

/** The kinds of element (their names, for JSON and plain text, in quotes). */
typedef enum zelk_element_kind {
  ZELK_ELEMENT_LOGO = 0,       /**< "logo": the image at URL, 40 high; a spinner while it loads */
  ZELK_ELEMENT_TEXT = 1,       /**< "text" */
  ZELK_ELEMENT_BUTTON = 2,     /**< "button": text and/or image, runs its action */
  ZELK_ELEMENT_LINK = 3,       /**< "link": like a button; leads to the screen DESTINATION */
  ZELK_ELEMENT_PROGRESS = 4,   /**< "progress": an indeterminate progress indicator */
  ZELK_ELEMENT_SPACER = 5,     /**< "spacer": flexible space taking all free height */
  ZELK_ELEMENT_DIVIDER = 6,    /**< "divider": a horizontal line */
  ZELK_ELEMENT_IMAGE = 7,      /**< "image": the system image IMAGE, SIZE high when not 0 */
  ZELK_ELEMENT_BADGE = 8,      /**< "badge": text on a pill-shaped background */
  ZELK_ELEMENT_ROW = 9,        /**< "row": children side by side; tappable with an action */
  ZELK_ELEMENT_COLUMN = 10,    /**< "column": children top to bottom, lined up by ALIGNMENT */
  ZELK_ELEMENT_LIST = 11,      /**< "list": rows top to bottom */
  ZELK_ELEMENT_CODE_INPUT = 12 /**< "codeInput": the six boxes of the one-time code */
} zelk_element_kind;

/** Members of an element, for the element accessors. */
typedef enum zelk_element_field {
  /* texts */
  ZELK_ELEMENT_FIELD_TEXT = 0,        /**< the text shown, localised */
  ZELK_ELEMENT_FIELD_IMAGE = 1,       /**< a system image name, e.g. "checkmark.circle.fill" */
  ZELK_ELEMENT_FIELD_URL = 2,         /**< the logo's address */
  ZELK_ELEMENT_FIELD_ACTION = 3,      /**< what `zelk_screen_perform` takes; empty for none */
  ZELK_ELEMENT_FIELD_DESTINATION = 4, /**< links: the name of the screen they show */
  /* numbers */
  ZELK_ELEMENT_FIELD_KIND = 10,       /**< a `zelk_element_kind` */
  ZELK_ELEMENT_FIELD_STYLE = 11,      /**< 0 body, 1 title, 2 subheadline, 3 caption, 4 footnote */
  ZELK_ELEMENT_FIELD_WEIGHT = 12,     /**< 0 regular, 1 medium, 2 bold */
  ZELK_ELEMENT_FIELD_ALIGNMENT = 13,  /**< 0 center, 1 leading, 2 trailing */
  ZELK_ELEMENT_FIELD_ENABLED = 14,    /**< 1 or 0; 0 also disables every child */
  ZELK_ELEMENT_FIELD_SELECTED = 15,   /**< 1 for a device row the user ticked */
  ZELK_ELEMENT_FIELD_FULL_WIDTH = 16, /**< 1 when stretched to the available width */
  ZELK_ELEMENT_FIELD_CORNER_RADIUS_MILLI = 17, /**< background corner radius, in 1/1000 points */
  ZELK_ELEMENT_FIELD_SIZE_MILLI = 18,          /**< image height or frame, in 1/1000 points */
  ZELK_ELEMENT_FIELD_MAX_ = 0x7fffffff         /* keeps the type 32 bits wide */
} zelk_element_field;

/** A colour of the host's palette, or an exact one. */
typedef enum zelk_paint_role {
  ZELK_PAINT_PRIMARY = 0,
  ZELK_PAINT_SECONDARY = 1,
  ZELK_PAINT_WHITE = 2,
  ZELK_PAINT_RED = 3,
  ZELK_PAINT_BLUE = 4,
  ZELK_PAINT_FILL = 5,
  ZELK_PAINT_BACKGROUND = 6,
  ZELK_PAINT_EXACT = 7 /**< the colour in `argb` */
} zelk_paint_role;

/** Which paint of an element. */
typedef enum zelk_paint_slot {
  ZELK_SLOT_FOREGROUND = 0, /**< text and image colour; absent: the kind's default */
  ZELK_SLOT_BACKGROUND = 1  /**< fill behind the element; absent: none */
} zelk_paint_slot;

/** How many children `parent` has (`ZELK_SCREEN_ROOT`: the top-level elements). Any thread. */
ZELK_API zelk_status zelk_screen_child_count(zelk_screen* ZELK_NONNULL screen, size_t parent,
                                             size_t* ZELK_NONNULL count);
/** The element number of child `position` of `parent`. `ZELK_ERROR_OUT_OF_RANGE` past the end.
 *  Any thread. */
ZELK_API zelk_status zelk_screen_child(zelk_screen* ZELK_NONNULL screen, size_t parent,
                                       size_t position, size_t* ZELK_NONNULL element);
/** A text member of `element` (`ZELK_ELEMENT_FIELD_TEXT` .. `_DESTINATION`); empty when unset.
 *  Any thread. */
ZELK_API zelk_status zelk_screen_element_text(zelk_screen* ZELK_NONNULL screen, size_t element,
                                              zelk_element_field field,
                                              char* ZELK_NULLABLE* ZELK_NONNULL text,
                                              size_t* ZELK_NULLABLE length);
/** A number member of `element` (`ZELK_ELEMENT_FIELD_KIND` .. `_SIZE_MILLI`). Any thread. */
ZELK_API zelk_status zelk_screen_element_number(zelk_screen* ZELK_NONNULL screen, size_t element,
                                                zelk_element_field field,
                                                int64_t* ZELK_NONNULL number);
/** A paint of `element`: `present` receives whether it has one, and when it has, `role`, `argb`
 *  (0xAARRGGBB, for `ZELK_PAINT_EXACT`) and `opacity` (0 to 1, over the role's colour), each
 *  optional. Any thread. */
ZELK_API zelk_status zelk_screen_element_paint(zelk_screen* ZELK_NONNULL screen, size_t element,
                                               zelk_paint_slot slot, bool* ZELK_NONNULL present,
                                               zelk_paint_role* ZELK_NULLABLE role,
                                               uint32_t* ZELK_NULLABLE argb,
                                               double* ZELK_NULLABLE opacity);

/* Actions: main thread, not inside a callback, and only while the snapshot's screen is still
 * the top of its stack (`ZELK_ERROR_UNAVAILABLE` once it is not: take a new snapshot). */

/** Runs `action` (an element's `ZELK_ELEMENT_FIELD_ACTION`) if an element shown now carries it
 *  and is enabled with all its parents; `performed` (optional) tells whether it ran. */
ZELK_API zelk_status zelk_screen_perform(zelk_screen* ZELK_NONNULL screen,
                                         const char* ZELK_NONNULL action, size_t action_length,
                                         bool* ZELK_NULLABLE performed);
/** Ticks or unticks the device `device_id` on the limiter (its row's action);
 *  `ZELK_ERROR_UNAVAILABLE` on other screens. */
ZELK_API zelk_status zelk_screen_toggle_device(zelk_screen* ZELK_NONNULL screen,
                                               const char* ZELK_NONNULL device_id,
                                               size_t device_id_length,
                                               bool* ZELK_NULLABLE performed);
/** Types `text` into the code boxes one character at a time from the box with the focus, each
 *  as a native field's edit; stops at the first refused one. `taken` (optional) receives how
 *  many characters went in. `ZELK_ERROR_UNAVAILABLE` on other screens. */
ZELK_API zelk_status zelk_screen_type_code(zelk_screen* ZELK_NONNULL screen,
                                           const char* ZELK_NONNULL text, size_t text_length,
                                           size_t* ZELK_NULLABLE taken);
/** Deletes the character of the box with the focus, as the keyboard's delete key does (the focus
 *  moves back one box); `deleted` (optional) is false when that box is empty.
 *  `ZELK_ERROR_UNAVAILABLE` on other screens. */
ZELK_API zelk_status zelk_screen_delete_code_character(zelk_screen* ZELK_NONNULL screen,
                                                       bool* ZELK_NULLABLE deleted);
/** The user tapped code box `index` (0 to 5): it takes the focus. `ZELK_ERROR_OUT_OF_RANGE`
 *  past the last box; `ZELK_ERROR_UNAVAILABLE` on other screens. */
ZELK_API zelk_status zelk_screen_tap_code_box(zelk_screen* ZELK_NONNULL screen, size_t index);

#ifdef __cplusplus
}
#endif

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

#endif /* ZELK_ZELK_H */
