# SPDX-License-Identifier: Apache-2.0
"""zelk for Python: a thin layer over the C library libzelk-c (<zelk/zelk.h>) through ctypes.

The calls, records, screens and threads are the C interface's; see its header for what each one
does. A failing call raises ZelkError with the library's status and message. Records come as
plain dictionaries (the service's JSON), screens as snapshots with their elements as
dictionaries.

Threads: a client's main thread is the thread that made its RunLoop; call the main-thread
methods (containers, screens, callbacks) there, and run the loop there. Attach and detach
replies that the C interface delivers on its network thread reach Python on that thread (ctypes
takes the interpreter lock for them).

The library is looked for as $ZELK_C_LIBRARY, then as libzelk-c.so.1 on the loader's path, then
through ctypes.util.find_library.
"""

import atexit
import ctypes
import ctypes.util
import enum
import json
import os
import threading
import weakref

__all__ = [
    "ZelkError", "Status", "AppEvent", "ScenePhase", "ScreenKind", "RunLoop", "Client",
    "Container", "Screen", "DeviceFacts", "version", "abi_version", "set_log_sink",
    "set_localizer", "use_builtin_translations", "stop_builtin_translations", "localized",
]

ABI_VERSION = 1
_NUL_TERMINATED = ctypes.c_size_t(-1).value
_FOREVER = ctypes.c_uint64(-1).value
_ROOT = ctypes.c_size_t(-1).value


def _load():
    names = [os.environ.get("ZELK_C_LIBRARY"), "libzelk-c.so.%d" % ABI_VERSION,
             ctypes.util.find_library("zelk-c")]
    errors = []
    for name in names:
        if not name:
            continue
        try:
            return ctypes.CDLL(name)
        except OSError as error:
            errors.append(str(error))
    raise ImportError("zelk: libzelk-c was not found (set ZELK_C_LIBRARY to its path): " +
                      "; ".join(errors))


_lib = _load()

_p = ctypes.c_void_p
_size = ctypes.c_size_t
_char_p = ctypes.c_char_p
_out_text = ctypes.POINTER(ctypes.c_void_p)

FREE_FN = ctypes.CFUNCTYPE(None, _p)
NOTIFY_FN = ctypes.CFUNCTYPE(None, _p)
PREDICATE_FN = ctypes.CFUNCTYPE(ctypes.c_bool, _p)
ATTACH_FN = ctypes.CFUNCTYPE(None, _p, _p)
IDENTIFY_FN = ctypes.CFUNCTYPE(None, _p, _p, ctypes.POINTER(ctypes.c_char), _size)
LOG_FN = ctypes.CFUNCTYPE(None, _p, ctypes.c_int, ctypes.POINTER(ctypes.c_char), _size,
                          ctypes.POINTER(ctypes.c_char), _size)
LOCALIZE_FN = ctypes.CFUNCTYPE(None, _p, ctypes.POINTER(ctypes.c_char), _size, _p)


class _Options(ctypes.Structure):
    _fields_ = [
        ("size", _size), ("base_url", _char_p), ("base_url_length", _size),
        ("use_view_controller", ctypes.c_bool), ("run_loop", _p), ("post", _p),
        ("is_main_thread", _p), ("queue_user_data", _p), ("free_queue_user_data", _p),
        ("preferences", ctypes.c_int), ("preferences_path", _char_p),
        ("preferences_path_length", _size), ("device_model", _char_p),
        ("device_model_length", _size), ("system_name", _char_p), ("system_name_length", _size),
        ("system_version", _char_p), ("system_version_length", _size), ("vendor_id", _char_p),
        ("vendor_id_length", _size), ("ca_file", _char_p), ("ca_file_length", _size),
        ("present", _p), ("dismiss", _p), ("presenter_user_data", _p),
        ("free_presenter_user_data", _p),
    ]


def _declare(name, *argtypes, restype=ctypes.c_int):
    function = getattr(_lib, name)
    function.argtypes = list(argtypes)
    function.restype = restype
    return function


_status_name = _declare("zelk_status_name", ctypes.c_int, restype=_char_p)
_last_error = _declare("zelk_last_error", _out_text, ctypes.POINTER(_size))
_string_free = _declare("zelk_string_free", _p, restype=None)
_version = _declare("zelk_version", restype=_char_p)
_abi_version = _declare("zelk_abi_version", restype=ctypes.c_int)
_text_set = _declare("zelk_text_set", _p, _char_p, _size)
_run_loop_new = _declare("zelk_run_loop_new", ctypes.POINTER(_p))
_run_loop_free = _declare("zelk_run_loop_free", _p, restype=None)
_run_loop_run = _declare("zelk_run_loop_run", _p, ctypes.c_uint64)
_run_loop_run_until = _declare("zelk_run_loop_run_until", _p, PREDICATE_FN, _p, ctypes.c_uint64,
                               ctypes.POINTER(ctypes.c_bool))
_run_loop_stop = _declare("zelk_run_loop_stop", _p)
_set_log_sink = _declare("zelk_set_log_sink", LOG_FN, _p, FREE_FN)
_set_localizer = _declare("zelk_set_localizer", LOCALIZE_FN, _p, FREE_FN)
_use_builtin = _declare("zelk_use_builtin_translations", _char_p, _size)
_stop_builtin = _declare("zelk_stop_builtin_translations")
_localized = _declare("zelk_localized", _char_p, _size, _out_text, ctypes.POINTER(_size))
_attach_json = _declare("zelk_attach_response_json", _p, _out_text, ctypes.POINTER(_size))
_identity_get = _declare("zelk_identity_get", _p, _out_text, ctypes.POINTER(_size),
                         ctypes.POINTER(ctypes.c_double))
_device_list_free = _declare("zelk_device_list_free", _p, restype=None)
_device_list_json = _declare("zelk_device_list_json", _p, _out_text, ctypes.POINTER(_size))
_challenge_free = _declare("zelk_challenge_free", _p, restype=None)
_challenge_json = _declare("zelk_challenge_json", _p, _out_text, ctypes.POINTER(_size))
_device_limit_free = _declare("zelk_device_limit_free", _p, restype=None)
_device_limit_json = _declare("zelk_device_limit_json", _p, _out_text, ctypes.POINTER(_size))
_options_init = _declare("zelk_client_options_init", ctypes.POINTER(_Options))
_client_new = _declare("zelk_client_new", _char_p, _size, ctypes.POINTER(_Options),
                       ctypes.POINTER(_p))
_client_free = _declare("zelk_client_free", _p, restype=None)
_client_set_user_id = _declare("zelk_client_set_user_id", _p, _char_p, _size)
_client_attach = _declare("zelk_client_attach", _p, _char_p, _size, ATTACH_FN, _p, FREE_FN)
_client_detach = _declare("zelk_client_detach", _p, _char_p, _size, ATTACH_FN, _p, FREE_FN)
_client_identify = _declare("zelk_client_identify", _p, _char_p, _size, IDENTIFY_FN, _p, FREE_FN)
_client_flush = _declare("zelk_client_flush", _p, ctypes.c_uint64, ctypes.POINTER(ctypes.c_bool))
_client_device_id = _declare("zelk_client_device_id", _p, _out_text, ctypes.POINTER(_size))
_client_identity = _declare("zelk_client_identity", _p, _out_text, ctypes.POINTER(_size))
_client_on_logout = _declare("zelk_client_on_logout", _p, NOTIFY_FN, _p, FREE_FN)
_client_on_create_account = _declare("zelk_client_on_create_account", _p, NOTIFY_FN, _p, FREE_FN)
_client_post_app_event = _declare("zelk_client_post_app_event", _p, ctypes.c_int)
_container_new = _declare("zelk_container_new", _p, ctypes.POINTER(_p))
_container_free = _declare("zelk_container_free", _p, restype=None)
_container_set_scene_phase = _declare("zelk_container_set_scene_phase", _p, ctypes.c_int)
_container_flag = _declare("zelk_container_flag", _p, ctypes.c_int, ctypes.POINTER(ctypes.c_bool))
_container_current_device_id = _declare("zelk_container_current_device_id", _p, _out_text,
                                        ctypes.POINTER(_size))
_container_challenge = _declare("zelk_container_challenge", _p, ctypes.POINTER(_p))
_container_attached_devices = _declare("zelk_container_attached_devices", _p, ctypes.POINTER(_p))
_container_subscribe = _declare("zelk_container_subscribe", _p, NOTIFY_FN, _p, FREE_FN,
                                ctypes.POINTER(ctypes.c_uint64))
_container_unsubscribe = _declare("zelk_container_unsubscribe", _p, ctypes.c_uint64)
_container_screen = _declare("zelk_container_screen", _p, ctypes.POINTER(_p))
_container_back = _declare("zelk_container_back", _p, ctypes.POINTER(ctypes.c_bool))
_screen_free = _declare("zelk_screen_free", _p, restype=None)
_screen_kind_of = _declare("zelk_screen_kind_of", _p, ctypes.POINTER(ctypes.c_int))
_screen_text = _declare("zelk_screen_text", _p, ctypes.c_int, _out_text, ctypes.POINTER(_size))
_screen_number = _declare("zelk_screen_number", _p, ctypes.c_int, ctypes.POINTER(ctypes.c_int64))
_screen_device_limit = _declare("zelk_screen_device_limit", _p, ctypes.POINTER(_p))
_screen_selected_devices = _declare("zelk_screen_selected_devices", _p, ctypes.POINTER(_p))
_screen_perform = _declare("zelk_screen_perform", _p, _char_p, _size, ctypes.POINTER(ctypes.c_bool))
_screen_toggle_device = _declare("zelk_screen_toggle_device", _p, _char_p, _size,
                                 ctypes.POINTER(ctypes.c_bool))
_screen_type_code = _declare("zelk_screen_type_code", _p, _char_p, _size, ctypes.POINTER(_size))
_screen_delete_code_character = _declare("zelk_screen_delete_code_character", _p,
                                         ctypes.POINTER(ctypes.c_bool))
_screen_tap_code_box = _declare("zelk_screen_tap_code_box", _p, _size)


class Status(enum.IntEnum):
    """The statuses of <zelk/zelk.h>."""
    OK = 0
    NULL_ARGUMENT = 1
    INVALID_HANDLE = 2
    INVALID_UTF8 = 3
    INVALID_ARGUMENT = 4
    WRONG_THREAD = 5
    REENTRANT = 6
    UNAVAILABLE = 7
    OUT_OF_RANGE = 8
    NO_MEMORY = 9
    INTERNAL = 10


class AppEvent(enum.IntEnum):
    WILL_RESIGN_ACTIVE = 0
    DID_BECOME_ACTIVE = 1


class ScenePhase(enum.IntEnum):
    ACTIVE = 0
    INACTIVE = 1
    BACKGROUND = 2


class ScreenKind(enum.IntEnum):
    ENTRY = 0
    DEVICE_LIMITER = 1
    VERIFICATION_OPTIONS = 2
    VERIFICATION_CODE = 3


class ZelkError(Exception):
    """A call of the C interface failed: `status` is its Status, the message the library's."""

    def __init__(self, status, message):
        super().__init__("%s: %s" % (_status_name(status).decode(), message))
        self.status = Status(status) if status in Status._value2member_map_ else status
        self.message = message


def _take(pointer, length):
    """The text of a string the library handed out, which is then released."""
    if not pointer.value:
        return None
    text = ctypes.string_at(pointer.value, length.value).decode("utf-8")
    _string_free(pointer)
    return text


def _last_error_message():
    pointer, length = ctypes.c_void_p(), _size()
    _last_error(ctypes.byref(pointer), ctypes.byref(length))
    return _take(pointer, length) or ""


def _check(status):
    if status != 0:
        raise ZelkError(status, _last_error_message())


def _text_out(function, *args):
    pointer, length = ctypes.c_void_p(), _size()
    _check(function(*args, ctypes.byref(pointer), ctypes.byref(length)))
    return _take(pointer, length)


def _text_in(text):
    """A Python text as the bytes and length the C interface takes (None stays None)."""
    if text is None:
        return None, 0
    if isinstance(text, bytes):
        return text, len(text)
    data = text.encode("utf-8", "surrogatepass")
    return data, len(data)


def _json_in(value):
    return _text_in(None if value is None else json.dumps(value))


# ---- Callbacks: user data is an id in this table, released when the library lets go. ----------

_callbacks = {}
_callbacks_lock = threading.Lock()
_next_id = [1]


def _keep(function):
    with _callbacks_lock:
        ident = _next_id[0]
        _next_id[0] += 1
        _callbacks[ident] = function
    return ctypes.c_void_p(ident)


def _kept(user_data):
    with _callbacks_lock:
        return _callbacks.get(user_data or 0)


@FREE_FN
def _release(user_data):
    with _callbacks_lock:
        _callbacks.pop(user_data or 0, None)


@NOTIFY_FN
def _notify(user_data):
    function = _kept(user_data)
    if function:
        function()


@PREDICATE_FN
def _predicate(user_data):
    function = _kept(user_data)
    return bool(function()) if function else True


def _reply_json(response):
    if not response:
        return None
    return json.loads(_text_out(_attach_json, response))


@ATTACH_FN
def _attach_reply(user_data, response):
    function = _kept(user_data)
    if function:
        function(_reply_json(response))


@IDENTIFY_FN
def _identify_reply(user_data, identity, error, error_length):
    function = _kept(user_data)
    if not function:
        return
    if identity:
        confidence = ctypes.c_double()
        pointer, length = ctypes.c_void_p(), _size()
        _check(_identity_get(identity, ctypes.byref(pointer), ctypes.byref(length),
                             ctypes.byref(confidence)))
        function({"identity": _take(pointer, length), "confidence": confidence.value}, None)
    else:
        function(None, ctypes.string_at(error, error_length).decode("utf-8"))


@LOG_FN
def _log(user_data, level, category, category_length, message, message_length):
    function = _kept(user_data)
    if function:
        function(level, ctypes.string_at(category, category_length).decode("utf-8", "replace"),
                 ctypes.string_at(message, message_length).decode("utf-8", "replace"))


@LOCALIZE_FN
def _localize(user_data, key, key_length, out):
    function = _kept(user_data)
    if function:
        text = function(ctypes.string_at(key, key_length).decode("utf-8"))
        if text is not None:
            data, length = _text_in(text)
            _text_set(out, data, length)


# ---- The process -------------------------------------------------------------------------------

_live_handles = weakref.WeakSet()


@atexit.register
def _end_before_the_interpreter():
    # A thread of the library that calls into Python while the interpreter ends (a log record,
    # a reply, the release of a callback) is stopped by the interpreter in the middle of C++
    # code, which ends the process. So before it ends: the Python functions installed for the
    # whole process are taken back, and the handles still open are closed, the clients after
    # their calls in flight (for at most a second each), which ends their network threads.
    _set_log_sink(LOG_FN(), None, FREE_FN())
    _set_localizer(LOCALIZE_FN(), None, FREE_FN())
    handles = list(_live_handles)
    for kind in (Screen, Container, Client, RunLoop):
        for handle in handles:
            if type(handle) is kind and handle._handle:
                try:
                    if kind is Client:
                        handle.flush(1.0)
                    handle.close()
                except ZelkError:
                    pass


def version():
    """The library's version, e.g. "0.1.0"."""
    return _version().decode()


def abi_version():
    """The C interface's version the library was built with."""
    return _abi_version()


def set_log_sink(sink):
    """Routes every log record to sink(level, category, message); None restores the default."""
    if sink is None:
        _check(_set_log_sink(LOG_FN(), None, FREE_FN()))
    else:
        _check(_set_log_sink(_log, _keep(sink), _release))


def set_localizer(localize):
    """localize(key) gives a screen text, or None for no entry; None restores the default."""
    if localize is None:
        _check(_set_localizer(LOCALIZE_FN(), None, FREE_FN()))
    else:
        _check(_set_localizer(_localize, _keep(localize), _release))


def use_builtin_translations(locale=None):
    data, length = _text_in(locale)
    _check(_use_builtin(data, length))


def stop_builtin_translations():
    _check(_stop_builtin())


def localized(key):
    data, length = _text_in(key)
    return _text_out(_localized, data, length)


# ---- Handles -----------------------------------------------------------------------------------

class _Handle:
    _free = None

    def __init__(self, handle):
        self._handle = handle
        if handle:
            _live_handles.add(self)

    @property
    def handle(self):
        """The C handle (an opaque number)."""
        return self._handle

    def close(self):
        """Frees the C handle; later calls raise ZelkError (an invalid handle)."""
        handle, self._handle = self._handle, None
        if handle:
            type(self)._free(handle)
            self._freed = handle

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:  # noqa: BLE001 - the interpreter may be ending
            pass

    def _live(self):
        # A closed handle is passed on as it was: the library refuses it with a status.
        return self._handle if self._handle else getattr(self, "_freed", None)


class RunLoop(_Handle):
    """The library's main-thread work for a host without a loop of its own; the thread that
    makes it is its main thread."""
    _free = staticmethod(_run_loop_free)

    def __init__(self):
        handle = ctypes.c_void_p()
        _check(_run_loop_new(ctypes.byref(handle)))
        super().__init__(handle.value)

    def run(self, timeout=None):
        """Runs tasks until stop() or `timeout` seconds (None: no limit)."""
        _check(_run_loop_run(self._live(), _FOREVER if timeout is None else int(timeout * 1000)))

    def run_until(self, predicate, timeout=10.0):
        """Runs tasks until predicate() holds (checked after each task) or `timeout` seconds."""
        satisfied = ctypes.c_bool()
        ident = _keep(predicate)
        try:
            _check(_run_loop_run_until(self._live(), _predicate, ident, int(timeout * 1000),
                                       ctypes.byref(satisfied)))
        finally:
            _release(ident)
        return satisfied.value

    def stop(self):
        _check(_run_loop_stop(self._live()))


class DeviceFacts:
    """The facts a client reports for its device: model ("iPad" in it reports a tablet), system
    name and version, and a stable vendor identifier (None: a fresh one per request)."""

    def __init__(self, model, system_name="", system_version="", vendor_id=None):
        self.model, self.system_name = model, system_name
        self.system_version, self.vendor_id = system_version, vendor_id


_PREFERENCES = {"default": 0, "memory": 1, "file": 2}


class Client(_Handle):
    """The client a host makes once (zelk_client). `preferences` is "default", "memory" or a
    file path; `device` a DeviceFacts (None: this machine's)."""
    _free = staticmethod(_client_free)

    def __init__(self, client_id, base_url=None, run_loop=None, preferences="default",
                 device=None, ca_file=None):
        options = _Options()
        _check(_options_init(ctypes.byref(options)))
        keep = []  # the bytes the options point at live until the call returns

        def put(name, text):
            data, length = _text_in(text)
            keep.append(data)
            setattr(options, name, data)
            setattr(options, name + "_length", length)

        put("base_url", base_url)
        put("ca_file", ca_file)
        if run_loop is not None:
            options.run_loop = run_loop._live()
        if preferences in _PREFERENCES:
            options.preferences = _PREFERENCES[preferences]
        else:
            options.preferences = _PREFERENCES["file"]
            put("preferences_path", os.fspath(preferences))
        if device is not None:
            put("device_model", device.model)
            put("system_name", device.system_name)
            put("system_version", device.system_version)
            put("vendor_id", device.vendor_id)
        handle = ctypes.c_void_p()
        data, length = _text_in(client_id)
        _check(_client_new(data, length, ctypes.byref(options), ctypes.byref(handle)))
        super().__init__(handle.value)

    def set_user_id(self, user_id):
        data, length = _text_in(user_id)
        _check(_client_set_user_id(self._live(), data, length))

    def attach(self, metadata=None, on_complete=None):
        """on_complete(reply dict) runs on the network thread when a reply decodes."""
        data, length = _json_in(metadata)
        callback, ident = (_attach_reply, _keep(on_complete)) if on_complete else (ATTACH_FN(), None)
        _check(_client_attach(self._live(), data, length, callback, ident, _release))

    def detach(self, device_id=None, on_complete=None):
        """on_complete(reply dict or None) runs as the C interface says."""
        data, length = _text_in(device_id)
        callback, ident = (_attach_reply, _keep(on_complete)) if on_complete else (ATTACH_FN(), None)
        _check(_client_detach(self._live(), data, length, callback, ident, _release))

    def identify(self, metadata=None, on_complete=None):
        """on_complete(identity dict, None) on the main thread, or (None, message)."""
        data, length = _json_in(metadata)
        callback, ident = ((_identify_reply, _keep(on_complete)) if on_complete
                           else (IDENTIFY_FN(), None))
        _check(_client_identify(self._live(), data, length, callback, ident, _release))

    def flush(self, timeout=5.0):
        """Waits for the calls in flight; whether none is left."""
        idle = ctypes.c_bool()
        _check(_client_flush(self._live(), int(timeout * 1000), ctypes.byref(idle)))
        return idle.value

    @property
    def device_id(self):
        return _text_out(_client_device_id, self._live())

    @property
    def identity(self):
        return _text_out(_client_identity, self._live())

    def on_logout(self, callback):
        """callback() when the service logs this device out. Main thread."""
        self._set(_client_on_logout, callback)

    def on_create_account(self, callback):
        """callback() when the user asks for an account of their own. Main thread."""
        self._set(_client_on_create_account, callback)

    def _set(self, function, callback):
        if callback is None:
            _check(function(self._live(), NOTIFY_FN(), None, FREE_FN()))
        else:
            _check(function(self._live(), _notify, _keep(callback), _release))

    def post_app_event(self, event):
        _check(_client_post_app_event(self._live(), int(event)))


class Container(_Handle):
    """The view logic that lays a challenge over the content (zelk_container). Main thread."""
    _free = staticmethod(_container_free)

    def __init__(self, client, _handle=None):
        if _handle is None:
            handle = ctypes.c_void_p()
            _check(_container_new(client._live(), ctypes.byref(handle)))
            _handle = handle.value
        super().__init__(_handle)

    def _flag(self, state):
        value = ctypes.c_bool()
        _check(_container_flag(self._live(), state, ctypes.byref(value)))
        return value.value

    @property
    def challenge_visible(self):
        return self._flag(0)

    @property
    def loading_devices(self):
        return self._flag(1)

    @property
    def detach_loading(self):
        return self._flag(2)

    @property
    def current_device_id(self):
        return _text_out(_container_current_device_id, self._live())

    @property
    def challenge(self):
        """The challenge on show as a dictionary, or None."""
        handle = ctypes.c_void_p()
        _check(_container_challenge(self._live(), ctypes.byref(handle)))
        if not handle.value:
            return None
        try:
            return json.loads(_text_out(_challenge_json, handle.value))
        finally:
            _challenge_free(handle.value)

    @property
    def attached_devices(self):
        handle = ctypes.c_void_p()
        _check(_container_attached_devices(self._live(), ctypes.byref(handle)))
        return _devices(handle.value)

    def set_scene_phase(self, phase):
        _check(_container_set_scene_phase(self._live(), int(phase)))

    def subscribe(self, callback):
        """callback() after every change of what the container shows; returns a token."""
        token = ctypes.c_uint64()
        _check(_container_subscribe(self._live(), _notify, _keep(callback), _release,
                                    ctypes.byref(token)))
        return token.value

    def unsubscribe(self, token):
        _check(_container_unsubscribe(self._live(), token))

    def screen(self):
        """A snapshot of the screen on top, or None while the challenge is hidden."""
        handle = ctypes.c_void_p()
        _check(_container_screen(self._live(), ctypes.byref(handle)))
        return Screen(handle.value) if handle.value else None

    def back(self):
        popped = ctypes.c_bool()
        _check(_container_back(self._live(), ctypes.byref(popped)))
        return popped.value


def _devices(handle):
    try:
        return json.loads(_text_out(_device_list_json, handle))
    finally:
        _device_list_free(handle)


class Screen(_Handle):
    """A snapshot of one challenge screen. Its reads work on any thread; its actions on the main
    thread while it is still the top screen."""
    _free = staticmethod(_screen_free)

    # zelk_screen_value
    NAME, PLAIN_TEXT, ELEMENTS_JSON = 0, 1, 2
    TITLE, CODE, MESSAGE, RESEND_LABEL, DEVICES_TO_LOGOUT = 10, 11, 12, 13, 14
    DEPTH = 20
    VERIFIES_FIRST, CODE_FOCUS, SECONDS_TO_RESEND, VERIFYING, VALID_CODE, VERIFIED = (
        30, 31, 32, 33, 34, 35)
    EMAIL_CODE_SENDING, EMAIL_CODE_SENT, TEXT_CODE_SENDING, TEXT_CODE_SENT = 36, 37, 38, 39
    OVER_LIMIT = 40

    @property
    def kind(self):
        kind = ctypes.c_int()
        _check(_screen_kind_of(self._live(), ctypes.byref(kind)))
        return ScreenKind(kind.value)

    def text(self, value):
        return _text_out(_screen_text, self._live(), value)

    def number(self, value):
        number = ctypes.c_int64()
        _check(_screen_number(self._live(), value, ctypes.byref(number)))
        return number.value

    @property
    def name(self):
        return self.text(self.NAME)

    @property
    def plain_text(self):
        return self.text(self.PLAIN_TEXT)

    @property
    def elements(self):
        """The element tree: dictionaries with "kind", "text", "enabled", "action", "children"
        and the rest of an element's members."""
        return json.loads(self.text(self.ELEMENTS_JSON))

    @property
    def device_limit(self):
        handle = ctypes.c_void_p()
        _check(_screen_device_limit(self._live(), ctypes.byref(handle)))
        if not handle.value:
            return None
        try:
            return json.loads(_text_out(_device_limit_json, handle.value))
        finally:
            _device_limit_free(handle.value)

    @property
    def selected_devices(self):
        handle = ctypes.c_void_p()
        _check(_screen_selected_devices(self._live(), ctypes.byref(handle)))
        return _devices(handle.value)

    def perform(self, action):
        data, length = _text_in(action)
        performed = ctypes.c_bool()
        _check(_screen_perform(self._live(), data, length, ctypes.byref(performed)))
        return performed.value

    def toggle_device(self, device_id):
        data, length = _text_in(device_id)
        performed = ctypes.c_bool()
        _check(_screen_toggle_device(self._live(), data, length, ctypes.byref(performed)))
        return performed.value

    def type_code(self, text):
        data, length = _text_in(text)
        taken = _size()
        _check(_screen_type_code(self._live(), data, length, ctypes.byref(taken)))
        return taken.value

    def delete_code_character(self):
        deleted = ctypes.c_bool()
        _check(_screen_delete_code_character(self._live(), ctypes.byref(deleted)))
        return deleted.value

    def tap_code_box(self, index):
        _check(_screen_tap_code_box(self._live(), index))
