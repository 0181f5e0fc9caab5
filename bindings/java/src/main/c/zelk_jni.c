/* SPDX-License-Identifier: Apache-2.0 */
/* The JNI layer of com.zelk.sdk.Native: each native method calls one function of <zelk/zelk.h>.
 * Texts cross as UTF-8 byte arrays, handles as longs; a failing status is thrown as a
 * ZelkException. Callbacks hold global references to their Java objects, released by the C
 * interface's free_user_data; threads of the library that call into Java are attached once and
 * detached when they end. */
#include <jni.h>
#include <zelk/zelk.h>

#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static JavaVM* vm;
static pthread_key_t attached_key;
static jclass native_class;
static jmethodID post_method, is_main_method, error_method;
static jmethodID runnable_run, reply_call, identify_call;

/* ---- Threads and references --------------------------------------------------------------- */

static void detach_thread(void* unused) {
  (void)unused;
  (*vm)->DetachCurrentThread(vm);
}

/* The calling thread's environment, attaching a thread of the library the first time. */
static JNIEnv* callback_env(void) {
  JNIEnv* env = NULL;
  if ((*vm)->GetEnv(vm, (void**)&env, JNI_VERSION_1_8) == JNI_OK) return env;
  if ((*vm)->AttachCurrentThreadAsDaemon(vm, (void**)&env, NULL) != JNI_OK) return NULL;
  pthread_setspecific(attached_key, env);
  return env;
}

static void release_global(void* reference) {
  JNIEnv* env = callback_env();
  if (env != NULL && reference != NULL) (*env)->DeleteGlobalRef(env, (jobject)reference);
}

static void* global(JNIEnv* env, jobject object) {
  return object == NULL ? NULL : (void*)(*env)->NewGlobalRef(env, object);
}

/* A Java callback that threw: the exception is reported and cleared, as nothing can catch it. */
static void settle(JNIEnv* env) {
  if ((*env)->ExceptionCheck(env)) {
    (*env)->ExceptionDescribe(env);
    (*env)->ExceptionClear(env);
  }
}

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* machine, void* reserved) {
  JNIEnv* env = NULL;
  jclass found;
  (void)reserved;
  vm = machine;
  if ((*vm)->GetEnv(vm, (void**)&env, JNI_VERSION_1_8) != JNI_OK) return JNI_ERR;
  if (pthread_key_create(&attached_key, detach_thread) != 0) return JNI_ERR;
  found = (*env)->FindClass(env, "com/zelk/sdk/Native");
  if (found == NULL) return JNI_ERR;
  native_class = (jclass)(*env)->NewGlobalRef(env, found);
  post_method = (*env)->GetStaticMethodID(env, native_class, "post",
                                          "(Lcom/zelk/sdk/MainThread;JJ)V");
  is_main_method = (*env)->GetStaticMethodID(env, native_class, "isMainThread",
                                             "(Lcom/zelk/sdk/MainThread;)Z");
  error_method = (*env)->GetStaticMethodID(env, native_class, "error",
                                           "(I[B)Lcom/zelk/sdk/ZelkException;");
  found = (*env)->FindClass(env, "java/lang/Runnable");
  if (found == NULL) return JNI_ERR;
  runnable_run = (*env)->GetMethodID(env, found, "run", "()V");
  found = (*env)->FindClass(env, "com/zelk/sdk/Native$ReplyCallback");
  if (found == NULL) return JNI_ERR;
  reply_call = (*env)->GetMethodID(env, found, "call", "(J)V");
  found = (*env)->FindClass(env, "com/zelk/sdk/Native$IdentifyCallback");
  if (found == NULL) return JNI_ERR;
  identify_call = (*env)->GetMethodID(env, found, "call", "(J[B)V");
  if (post_method == NULL || is_main_method == NULL || error_method == NULL ||
      runnable_run == NULL || reply_call == NULL || identify_call == NULL) {
    return JNI_ERR;
  }
  return JNI_VERSION_1_8;
}

/* ---- Texts and statuses ------------------------------------------------------------------- */

/* An input text: NULL for a null array; else a copy of its bytes with a NUL after them. */
typedef struct {
  char* data;
  size_t length;
} bytes;

static int read_bytes(JNIEnv* env, jbyteArray array, bytes* out) {
  jsize length;
  out->data = NULL;
  out->length = 0;
  if (array == NULL) return 1;
  length = (*env)->GetArrayLength(env, array);
  out->data = (char*)malloc((size_t)length + 1);
  if (out->data == NULL) return 0;
  (*env)->GetByteArrayRegion(env, array, 0, length, (jbyte*)out->data);
  out->data[length] = '\0';
  out->length = (size_t)length;
  return 1;
}

/* The bytes of a string the library handed out, which is then released; null for NULL. */
static jbyteArray to_bytes(JNIEnv* env, char* text, size_t length) {
  jbyteArray array;
  if (text == NULL) return NULL;
  array = (*env)->NewByteArray(env, (jsize)length);
  if (array != NULL) (*env)->SetByteArrayRegion(env, array, 0, (jsize)length, (const jbyte*)text);
  zelk_string_free(text);
  return array;
}

/* Throws the ZelkException of a failing status; true when it did. */
static int failed(JNIEnv* env, zelk_status status) {
  char* message = NULL;
  size_t length = 0;
  jbyteArray text;
  jobject error;
  if (status == ZELK_OK) return 0;
  zelk_last_error(&message, &length);
  text = to_bytes(env, message, length);
  error = (*env)->CallStaticObjectMethod(env, native_class, error_method, (jint)status, text);
  if (error != NULL && !(*env)->ExceptionCheck(env)) (*env)->Throw(env, (jthrowable)error);
  return 1;
}

static int out_of_memory(JNIEnv* env) {
  jclass type = (*env)->FindClass(env, "java/lang/OutOfMemoryError");
  if (type != NULL) (*env)->ThrowNew(env, type, "zelk: out of memory");
  return 1;
}

#define HANDLE(type, value) ((type*)(intptr_t)(value))
#define JLONG(pointer) ((jlong)(intptr_t)(pointer))
#define NATIVE(result, name) JNIEXPORT result JNICALL Java_com_zelk_sdk_Native_##name

/* ---- Callbacks ---------------------------------------------------------------------------- */

static void call_runnable(void* reference) {
  JNIEnv* env = callback_env();
  if (env == NULL || (*env)->PushLocalFrame(env, 8) != 0) return;
  (*env)->CallVoidMethod(env, (jobject)reference, runnable_run);
  settle(env);
  (*env)->PopLocalFrame(env, NULL);
}

static void call_reply(void* reference, zelk_attach_response* response) {
  JNIEnv* env = callback_env();
  if (env == NULL || (*env)->PushLocalFrame(env, 16) != 0) return;
  (*env)->CallVoidMethod(env, (jobject)reference, reply_call, JLONG(response));
  settle(env);
  (*env)->PopLocalFrame(env, NULL);
}

static void call_identify(void* reference, zelk_identity* identity, const char* error,
                          size_t error_length) {
  JNIEnv* env = callback_env();
  jbyteArray message = NULL;
  if (env == NULL || (*env)->PushLocalFrame(env, 16) != 0) return;
  if (error != NULL) {
    message = (*env)->NewByteArray(env, (jsize)error_length);
    if (message != NULL) {
      (*env)->SetByteArrayRegion(env, message, 0, (jsize)error_length, (const jbyte*)error);
    }
  }
  (*env)->CallVoidMethod(env, (jobject)reference, identify_call, JLONG(identity), message);
  settle(env);
  (*env)->PopLocalFrame(env, NULL);
}

static void post_hook(void* main, zelk_task* task, uint64_t delay_ms) {
  JNIEnv* env = callback_env();
  if (env == NULL || (*env)->PushLocalFrame(env, 8) != 0) return;
  (*env)->CallStaticVoidMethod(env, native_class, post_method, (jobject)main, JLONG(task),
                               (jlong)delay_ms);
  settle(env);
  (*env)->PopLocalFrame(env, NULL);
}

static bool is_main_hook(void* main) {
  JNIEnv* env = callback_env();
  jboolean current;
  if (env == NULL) return false;
  current = (*env)->CallStaticBooleanMethod(env, native_class, is_main_method, (jobject)main);
  settle(env);
  return current == JNI_TRUE;
}

/* ---- The process and the main thread ------------------------------------------------------ */

NATIVE(jbyteArray, version)(JNIEnv* env, jclass type) {
  const char* text = zelk_version();
  jbyteArray array = (*env)->NewByteArray(env, (jsize)strlen(text));
  (void)type;
  if (array != NULL) {
    (*env)->SetByteArrayRegion(env, array, 0, (jsize)strlen(text), (const jbyte*)text);
  }
  return array;
}

NATIVE(jint, abiVersion)(JNIEnv* env, jclass type) {
  (void)env;
  (void)type;
  return zelk_abi_version();
}

NATIVE(void, taskRun)(JNIEnv* env, jclass type, jlong task) {
  (void)type;
  failed(env, zelk_task_run(HANDLE(zelk_task, task)));
}

NATIVE(void, taskFree)(JNIEnv* env, jclass type, jlong task) {
  (void)env;
  (void)type;
  zelk_task_free(HANDLE(zelk_task, task));
}

/* ---- The client --------------------------------------------------------------------------- */

NATIVE(jlong, clientNew)(JNIEnv* env, jclass type, jbyteArray client_id, jobject main,
                         jbyteArray base_url, jint preferences, jbyteArray preferences_path,
                         jbyteArray model, jbyteArray system_name, jbyteArray system_version,
                         jbyteArray vendor_id, jbyteArray ca_file) {
  bytes id, url, path, device, name, version, vendor, ca;
  zelk_client_options options;
  zelk_client* client = NULL;
  jlong result = 0;
  int read;
  (void)type;
  read = read_bytes(env, client_id, &id) & read_bytes(env, base_url, &url) &
         read_bytes(env, preferences_path, &path) & read_bytes(env, model, &device) &
         read_bytes(env, system_name, &name) & read_bytes(env, system_version, &version) &
         read_bytes(env, vendor_id, &vendor) & read_bytes(env, ca_file, &ca);
  if (!read) {
    out_of_memory(env);
  } else if (main == NULL) {
    jclass npe = (*env)->FindClass(env, "java/lang/NullPointerException");
    if (npe != NULL) (*env)->ThrowNew(env, npe, "zelk: the main thread is null");
  } else {
    zelk_client_options_init(&options);
    options.base_url = url.data;
    options.base_url_length = url.length;
    options.post = post_hook;
    options.is_main_thread = is_main_hook;
    options.queue_user_data = global(env, main);
    options.free_queue_user_data = release_global;
    options.preferences = (zelk_preferences)preferences;
    options.preferences_path = path.data;
    options.preferences_path_length = path.length;
    options.device_model = device.data;
    options.device_model_length = device.length;
    options.system_name = name.data;
    options.system_name_length = name.length;
    options.system_version = version.data;
    options.system_version_length = version.length;
    options.vendor_id = vendor.data;
    options.vendor_id_length = vendor.length;
    options.ca_file = ca.data;
    options.ca_file_length = ca.length;
    if (id.data == NULL) {
      failed(env, zelk_client_new(NULL, 0, &options, &client));
    } else if (!failed(env, zelk_client_new(id.data, id.length, &options, &client))) {
      result = JLONG(client);
    }
  }
  free(id.data);
  free(url.data);
  free(path.data);
  free(device.data);
  free(name.data);
  free(version.data);
  free(vendor.data);
  free(ca.data);
  return result;
}

NATIVE(void, clientFree)(JNIEnv* env, jclass type, jlong client) {
  (void)env;
  (void)type;
  zelk_client_free(HANDLE(zelk_client, client));
}

NATIVE(void, clientSetUserId)(JNIEnv* env, jclass type, jlong client, jbyteArray user_id) {
  bytes id;
  (void)type;
  if (!read_bytes(env, user_id, &id)) {
    out_of_memory(env);
    return;
  }
  failed(env, zelk_client_set_user_id(HANDLE(zelk_client, client), id.data, id.length));
  free(id.data);
}

NATIVE(void, clientAttach)(JNIEnv* env, jclass type, jlong client, jbyteArray metadata,
                           jobject callback) {
  bytes json;
  (void)type;
  if (!read_bytes(env, metadata, &json)) {
    out_of_memory(env);
    return;
  }
  failed(env, zelk_client_attach(HANDLE(zelk_client, client), json.data, json.length,
                                 callback != NULL ? call_reply : NULL, global(env, callback),
                                 release_global));
  free(json.data);
}

NATIVE(void, clientDetach)(JNIEnv* env, jclass type, jlong client, jbyteArray device_id,
                           jobject callback) {
  bytes id;
  (void)type;
  if (!read_bytes(env, device_id, &id)) {
    out_of_memory(env);
    return;
  }
  failed(env, zelk_client_detach(HANDLE(zelk_client, client), id.data, id.length,
                                 callback != NULL ? call_reply : NULL, global(env, callback),
                                 release_global));
  free(id.data);
}

NATIVE(void, clientIdentify)(JNIEnv* env, jclass type, jlong client, jbyteArray metadata,
                             jobject callback) {
  bytes json;
  (void)type;
  if (!read_bytes(env, metadata, &json)) {
    out_of_memory(env);
    return;
  }
  failed(env, zelk_client_identify(HANDLE(zelk_client, client), json.data, json.length,
                                   callback != NULL ? call_identify : NULL, global(env, callback),
                                   release_global));
  free(json.data);
}

NATIVE(jboolean, clientFlush)(JNIEnv* env, jclass type, jlong client, jlong timeout) {
  bool idle = false;
  (void)type;
  failed(env, zelk_client_flush(HANDLE(zelk_client, client),
                                timeout < 0 ? 0 : (uint64_t)timeout, &idle));
  return idle ? JNI_TRUE : JNI_FALSE;
}

NATIVE(jbyteArray, clientDeviceId)(JNIEnv* env, jclass type, jlong client) {
  char* text = NULL;
  size_t length = 0;
  (void)type;
  if (failed(env, zelk_client_device_id(HANDLE(zelk_client, client), &text, &length))) return NULL;
  return to_bytes(env, text, length);
}

NATIVE(jbyteArray, clientIdentity)(JNIEnv* env, jclass type, jlong client) {
  char* text = NULL;
  size_t length = 0;
  (void)type;
  if (failed(env, zelk_client_identity(HANDLE(zelk_client, client), &text, &length))) return NULL;
  return to_bytes(env, text, length);
}

NATIVE(void, clientOnLogout)(JNIEnv* env, jclass type, jlong client, jobject callback) {
  (void)type;
  failed(env, zelk_client_on_logout(HANDLE(zelk_client, client),
                                    callback != NULL ? call_runnable : NULL,
                                    global(env, callback), release_global));
}

NATIVE(void, clientOnCreateAccount)(JNIEnv* env, jclass type, jlong client, jobject callback) {
  (void)type;
  failed(env, zelk_client_on_create_account(HANDLE(zelk_client, client),
                                            callback != NULL ? call_runnable : NULL,
                                            global(env, callback), release_global));
}

NATIVE(void, clientPostAppEvent)(JNIEnv* env, jclass type, jlong client, jint event) {
  (void)type;
  failed(env, zelk_client_post_app_event(HANDLE(zelk_client, client), (zelk_app_event)event));
}

/* ---- Records ------------------------------------------------------------------------------ */

/* A text accessor of a record: `call` is the C function applied to the handle and field. */
#define TEXT_OF(call)                              \
  char* text = NULL;                               \
  size_t length = 0;                               \
  (void)type;                                      \
  if (failed(env, call)) return NULL;              \
  return to_bytes(env, text, length)

/* A number accessor: Long.MIN_VALUE for an absent member. */
#define NUMBER_OF(call)                            \
  int64_t value = 0;                               \
  bool present = false;                            \
  (void)type;                                      \
  if (failed(env, call)) return 0;                 \
  return present ? (jlong)value : (jlong)INT64_MIN

NATIVE(jbyteArray, attachResponseText)(JNIEnv* env, jclass type, jlong response, jint field) {
  TEXT_OF(zelk_attach_response_text(HANDLE(zelk_attach_response, response), (zelk_field)field,
                                    &text, &length));
}

NATIVE(jlong, attachResponseNumber)(JNIEnv* env, jclass type, jlong response, jint field) {
  NUMBER_OF(zelk_attach_response_number(HANDLE(zelk_attach_response, response), (zelk_field)field,
                                        &value, &present));
}

NATIVE(jbyteArray, attachResponseJson)(JNIEnv* env, jclass type, jlong response) {
  TEXT_OF(zelk_attach_response_json(HANDLE(zelk_attach_response, response), &text, &length));
}

NATIVE(jbyteArray, identityText)(JNIEnv* env, jclass type, jlong identity) {
  TEXT_OF(zelk_identity_get(HANDLE(zelk_identity, identity), &text, &length, NULL));
}

NATIVE(jdouble, identityConfidence)(JNIEnv* env, jclass type, jlong identity) {
  char* text = NULL;
  double confidence = 0;
  (void)type;
  if (failed(env, zelk_identity_get(HANDLE(zelk_identity, identity), &text, NULL, &confidence))) {
    return 0;
  }
  zelk_string_free(text);
  return confidence;
}

NATIVE(void, deviceListFree)(JNIEnv* env, jclass type, jlong list) {
  (void)env;
  (void)type;
  zelk_device_list_free(HANDLE(zelk_device_list, list));
}

NATIVE(jint, deviceListCount)(JNIEnv* env, jclass type, jlong list) {
  size_t count = 0;
  (void)type;
  if (failed(env, zelk_device_list_count(HANDLE(zelk_device_list, list), &count))) return 0;
  return (jint)count;
}

NATIVE(jbyteArray, deviceListText)(JNIEnv* env, jclass type, jlong list, jint index, jint field) {
  TEXT_OF(zelk_device_list_text(HANDLE(zelk_device_list, list), (size_t)index, (zelk_field)field,
                                &text, &length));
}

NATIVE(jlong, deviceListDate)(JNIEnv* env, jclass type, jlong list, jint index, jint field) {
  NUMBER_OF(zelk_device_list_date(HANDLE(zelk_device_list, list), (size_t)index,
                                  (zelk_field)field, &value, &present));
}

NATIVE(void, challengeFree)(JNIEnv* env, jclass type, jlong challenge) {
  (void)env;
  (void)type;
  zelk_challenge_free(HANDLE(zelk_challenge, challenge));
}

NATIVE(jbyteArray, challengeText)(JNIEnv* env, jclass type, jlong challenge, jint field) {
  TEXT_OF(zelk_challenge_text(HANDLE(zelk_challenge, challenge), (zelk_field)field, &text,
                              &length));
}

NATIVE(jbyteArray, challengeJson)(JNIEnv* env, jclass type, jlong challenge) {
  TEXT_OF(zelk_challenge_json(HANDLE(zelk_challenge, challenge), &text, &length));
}

NATIVE(void, deviceLimitFree)(JNIEnv* env, jclass type, jlong limit) {
  (void)env;
  (void)type;
  zelk_device_limit_free(HANDLE(zelk_device_limit, limit));
}

NATIVE(jlong, deviceLimitNumber)(JNIEnv* env, jclass type, jlong limit, jint field) {
  NUMBER_OF(zelk_device_limit_number(HANDLE(zelk_device_limit, limit), (zelk_field)field, &value,
                                     &present));
}

NATIVE(jbyteArray, deviceLimitJson)(JNIEnv* env, jclass type, jlong limit) {
  TEXT_OF(zelk_device_limit_json(HANDLE(zelk_device_limit, limit), &text, &length));
}

/* ---- The container ------------------------------------------------------------------------ */

NATIVE(jlong, containerNew)(JNIEnv* env, jclass type, jlong client) {
  zelk_container* container = NULL;
  (void)type;
  if (failed(env, zelk_container_new(HANDLE(zelk_client, client), &container))) return 0;
  return JLONG(container);
}

NATIVE(void, containerFree)(JNIEnv* env, jclass type, jlong container) {
  (void)env;
  (void)type;
  zelk_container_free(HANDLE(zelk_container, container));
}

NATIVE(void, containerSetScenePhase)(JNIEnv* env, jclass type, jlong container, jint phase) {
  (void)type;
  failed(env, zelk_container_set_scene_phase(HANDLE(zelk_container, container),
                                             (zelk_scene_phase)phase));
}

NATIVE(jboolean, containerFlag)(JNIEnv* env, jclass type, jlong container, jint state) {
  bool value = false;
  (void)type;
  failed(env, zelk_container_flag(HANDLE(zelk_container, container), (zelk_container_state)state,
                                  &value));
  return value ? JNI_TRUE : JNI_FALSE;
}

NATIVE(jbyteArray, containerCurrentDeviceId)(JNIEnv* env, jclass type, jlong container) {
  TEXT_OF(zelk_container_current_device_id(HANDLE(zelk_container, container), &text, &length));
}

NATIVE(jlong, containerChallenge)(JNIEnv* env, jclass type, jlong container) {
  zelk_challenge* challenge = NULL;
  (void)type;
  if (failed(env, zelk_container_challenge(HANDLE(zelk_container, container), &challenge))) {
    return 0;
  }
  return JLONG(challenge);
}

NATIVE(jlong, containerAttachedDevices)(JNIEnv* env, jclass type, jlong container) {
  zelk_device_list* list = NULL;
  (void)type;
  if (failed(env, zelk_container_attached_devices(HANDLE(zelk_container, container), &list))) {
    return 0;
  }
  return JLONG(list);
}

NATIVE(jlong, containerSubscribe)(JNIEnv* env, jclass type, jlong container, jobject callback) {
  uint64_t token = 0;
  (void)type;
  if (callback == NULL) {
    failed(env, zelk_container_subscribe(HANDLE(zelk_container, container), NULL, NULL, NULL,
                                         &token));
    return 0;
  }
  if (failed(env, zelk_container_subscribe(HANDLE(zelk_container, container), call_runnable,
                                           global(env, callback), release_global, &token))) {
    return 0;
  }
  return (jlong)token;
}

NATIVE(void, containerUnsubscribe)(JNIEnv* env, jclass type, jlong container, jlong token) {
  (void)type;
  failed(env, zelk_container_unsubscribe(HANDLE(zelk_container, container), (uint64_t)token));
}

NATIVE(jlong, containerScreen)(JNIEnv* env, jclass type, jlong container) {
  zelk_screen* screen = NULL;
  (void)type;
  if (failed(env, zelk_container_screen(HANDLE(zelk_container, container), &screen))) return 0;
  return JLONG(screen);
}

NATIVE(jboolean, containerBack)(JNIEnv* env, jclass type, jlong container) {
  bool popped = false;
  (void)type;
  failed(env, zelk_container_back(HANDLE(zelk_container, container), &popped));
  return popped ? JNI_TRUE : JNI_FALSE;
}

/* ---- Screens ------------------------------------------------------------------------------ */

NATIVE(void, screenFree)(JNIEnv* env, jclass type, jlong screen) {
  (void)env;
  (void)type;
  zelk_screen_free(HANDLE(zelk_screen, screen));
}

NATIVE(jint, screenKind)(JNIEnv* env, jclass type, jlong screen) {
  zelk_screen_kind kind = ZELK_SCREEN_ENTRY;
  (void)type;
  if (failed(env, zelk_screen_kind_of(HANDLE(zelk_screen, screen), &kind))) return -1;
  return (jint)kind;
}

NATIVE(jbyteArray, screenText)(JNIEnv* env, jclass type, jlong screen, jint value) {
  TEXT_OF(zelk_screen_text(HANDLE(zelk_screen, screen), (zelk_screen_value)value, &text, &length));
}

NATIVE(jlong, screenNumber)(JNIEnv* env, jclass type, jlong screen, jint value) {
  int64_t number = 0;
  (void)type;
  failed(env, zelk_screen_number(HANDLE(zelk_screen, screen), (zelk_screen_value)value, &number));
  return (jlong)number;
}

NATIVE(jlong, screenDeviceLimit)(JNIEnv* env, jclass type, jlong screen) {
  zelk_device_limit* limit = NULL;
  (void)type;
  if (failed(env, zelk_screen_device_limit(HANDLE(zelk_screen, screen), &limit))) return 0;
  return JLONG(limit);
}

NATIVE(jlong, screenSelectedDevices)(JNIEnv* env, jclass type, jlong screen) {
  zelk_device_list* list = NULL;
  (void)type;
  if (failed(env, zelk_screen_selected_devices(HANDLE(zelk_screen, screen), &list))) return 0;
  return JLONG(list);
}

/* -1 from Java stands for the top level of the tree. */
static size_t parent_of(jlong parent) {
  return parent < 0 ? ZELK_SCREEN_ROOT : (size_t)parent;
}

NATIVE(jint, screenChildCount)(JNIEnv* env, jclass type, jlong screen, jlong parent) {
  size_t count = 0;
  (void)type;
  if (failed(env, zelk_screen_child_count(HANDLE(zelk_screen, screen), parent_of(parent),
                                          &count))) {
    return 0;
  }
  return (jint)count;
}

NATIVE(jlong, screenChild)(JNIEnv* env, jclass type, jlong screen, jlong parent, jint position) {
  size_t element = 0;
  (void)type;
  if (failed(env, zelk_screen_child(HANDLE(zelk_screen, screen), parent_of(parent),
                                    (size_t)position, &element))) {
    return 0;
  }
  return (jlong)element;
}

NATIVE(jbyteArray, screenElementText)(JNIEnv* env, jclass type, jlong screen, jlong element,
                                      jint field) {
  TEXT_OF(zelk_screen_element_text(HANDLE(zelk_screen, screen), (size_t)element,
                                   (zelk_element_field)field, &text, &length));
}

NATIVE(jlong, screenElementNumber)(JNIEnv* env, jclass type, jlong screen, jlong element,
                                   jint field) {
  int64_t number = 0;
  (void)type;
  failed(env, zelk_screen_element_number(HANDLE(zelk_screen, screen), (size_t)element,
                                         (zelk_element_field)field, &number));
  return (jlong)number;
}

/* The actions that take one text and answer with a flag. */
typedef zelk_status (*text_action)(zelk_screen*, const char*, size_t, bool*);

static jboolean act(JNIEnv* env, jlong screen, jbyteArray argument, text_action action) {
  bytes text;
  bool done = false;
  if (!read_bytes(env, argument, &text)) {
    out_of_memory(env);
    return JNI_FALSE;
  }
  failed(env, action(HANDLE(zelk_screen, screen), text.data, text.length, &done));
  free(text.data);
  return done ? JNI_TRUE : JNI_FALSE;
}

NATIVE(jboolean, screenPerform)(JNIEnv* env, jclass type, jlong screen, jbyteArray action) {
  (void)type;
  return act(env, screen, action, zelk_screen_perform);
}

NATIVE(jboolean, screenToggleDevice)(JNIEnv* env, jclass type, jlong screen, jbyteArray id) {
  (void)type;
  return act(env, screen, id, zelk_screen_toggle_device);
}

NATIVE(jint, screenTypeCode)(JNIEnv* env, jclass type, jlong screen, jbyteArray typed) {
  bytes text;
  size_t taken = 0;
  (void)type;
  if (!read_bytes(env, typed, &text)) {
    out_of_memory(env);
    return 0;
  }
  failed(env, zelk_screen_type_code(HANDLE(zelk_screen, screen), text.data, text.length, &taken));
  free(text.data);
  return (jint)taken;
}

NATIVE(jboolean, screenDeleteCodeCharacter)(JNIEnv* env, jclass type, jlong screen) {
  bool deleted = false;
  (void)type;
  failed(env, zelk_screen_delete_code_character(HANDLE(zelk_screen, screen), &deleted));
  return deleted ? JNI_TRUE : JNI_FALSE;
}

NATIVE(void, screenTapCodeBox)(JNIEnv* env, jclass type, jlong screen, jint index) {
  (void)type;
  failed(env, zelk_screen_tap_code_box(HANDLE(zelk_screen, screen),
                                       index < 0 ? (size_t)-1 : (size_t)index));
}
