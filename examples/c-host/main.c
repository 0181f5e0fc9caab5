/* SPDX-License-Identifier: Apache-2.0 */
/* A host in plain C over <zelk/zelk.h>: the road of a challenge with two devices of one user.
 * A tablet attaches, then this phone attaches through its container over the account's limit;
 * the challenge covers the phone's content, and the phone walks its screens: "Verify to
 * continue", the e-mail option, the code (read from the sandbox's hooks), the device limiter,
 * the tablet logged out, "Verification complete" and continue. Each screen is printed as text.
 *
 *   zelk-example-c-host --base-url URL [--client-id ID] [--user NAME]
 *
 * The project should allow one device and ask for verification; the user needs an e-mail
 * address (the demo sets both up). */
#include <curl/curl.h>
#include <zelk/zelk.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char* base_url = "";
static const char* client_id = "c-demo";
static const char* user = "alice";
static zelk_run_loop* loop;

/* Ends the program with the library's message when a call fails. */
static void must(zelk_status status, const char* what) {
  char* message = NULL;
  if (status == ZELK_OK) return;
  zelk_last_error(&message, NULL);
  fprintf(stderr, "c-host: %s failed: %s (%s)\n", what, message ? message : "",
          zelk_status_name(status));
  zelk_string_free(message);
  exit(1);
}

static zelk_client* make_device(const char* model, const char* vendor_id) {
  zelk_client_options options;
  zelk_client* client = NULL;
  must(zelk_client_options_init(&options), "zelk_client_options_init");
  options.base_url = base_url;
  options.base_url_length = ZELK_NUL_TERMINATED;
  options.run_loop = loop;
  options.preferences = ZELK_PREFERENCES_MEMORY;
  options.device_model = model;
  options.device_model_length = ZELK_NUL_TERMINATED;
  options.system_name = "iOS";
  options.system_name_length = ZELK_NUL_TERMINATED;
  options.system_version = "17.2";
  options.system_version_length = ZELK_NUL_TERMINATED;
  options.vendor_id = vendor_id;
  options.vendor_id_length = ZELK_NUL_TERMINATED;
  must(zelk_client_new(client_id, ZELK_NUL_TERMINATED, &options, &client), "zelk_client_new");
  must(zelk_client_set_user_id(client, user, ZELK_NUL_TERMINATED), "zelk_client_set_user_id");
  return client;
}

/* ---- Waiting on the loop -------------------------------------------------------------------- */

typedef bool (*condition)(void* data);

/* Runs the loop until `check(data)` holds, at most 10 s. */
static void wait_for(condition check, void* data, const char* what) {
  bool satisfied = false;
  must(zelk_run_loop_run_until(loop, check, data, 10000, &satisfied), "zelk_run_loop_run_until");
  if (!satisfied) {
    fprintf(stderr, "c-host: no %s within 10 s\n", what);
    exit(1);
  }
}

static bool has_device_id(void* data) {
  char* id = NULL;
  bool has;
  must(zelk_client_device_id((zelk_client*)data, &id, NULL), "zelk_client_device_id");
  has = id != NULL;
  zelk_string_free(id);
  return has;
}

static bool challenge_visible(void* data) {
  bool visible = false;
  must(zelk_container_flag((zelk_container*)data, ZELK_CONTAINER_CHALLENGE_VISIBLE, &visible),
       "zelk_container_flag");
  return visible;
}

static bool challenge_hidden(void* data) {
  return !challenge_visible(data);
}

static zelk_screen* top_screen(zelk_container* container) {
  zelk_screen* screen = NULL;
  must(zelk_container_screen(container, &screen), "zelk_container_screen");
  return screen;
}

static zelk_screen_kind kind_of(zelk_screen* screen) {
  zelk_screen_kind kind = ZELK_SCREEN_ENTRY;
  must(zelk_screen_kind_of(screen, &kind), "zelk_screen_kind_of");
  return kind;
}

struct showing {
  zelk_container* container;
  zelk_screen_kind kind;
};

static bool shows(void* data) {
  struct showing* wanted = (struct showing*)data;
  zelk_screen* screen = top_screen(wanted->container);
  bool match = screen != NULL && kind_of(screen) == wanted->kind;
  zelk_screen_free(screen);
  return match;
}

/* The limiter with its devices loaded and no logout running. */
static bool limiter_settled(void* data) {
  zelk_container* container = (zelk_container*)data;
  struct showing wanted;
  zelk_screen* screen;
  zelk_device_limit* limit = NULL;
  bool loading = true, detaching = true;
  wanted.container = container;
  wanted.kind = ZELK_SCREEN_DEVICE_LIMITER;
  if (!shows(&wanted)) return false;
  screen = top_screen(container);
  must(zelk_screen_device_limit(screen, &limit), "zelk_screen_device_limit");
  zelk_screen_free(screen);
  zelk_device_limit_free(limit);
  must(zelk_container_flag(container, ZELK_CONTAINER_LOADING_DEVICES, &loading), "flag");
  must(zelk_container_flag(container, ZELK_CONTAINER_DETACH_LOADING, &detaching), "flag");
  return limit != NULL && !loading && !detaching;
}

static bool flag_set(void* data) {
  return *(bool*)data;
}

static void set_flag(void* data) {
  *(bool*)data = true;
}

/* ---- Screens -------------------------------------------------------------------------------- */

static void print_screen(zelk_screen* screen) {
  char *name = NULL, *text = NULL;
  must(zelk_screen_text(screen, ZELK_SCREEN_NAME, &name, NULL), "zelk_screen_text");
  must(zelk_screen_text(screen, ZELK_SCREEN_PLAIN_TEXT, &text, NULL), "zelk_screen_text");
  printf("\n-- %s\n%s", name, text);
  fflush(stdout);
  zelk_string_free(name);
  zelk_string_free(text);
}

static void act(zelk_container* container, const char* action) {
  zelk_screen* screen = top_screen(container);
  bool performed = false;
  printf("> %s\n", action);
  must(zelk_screen_perform(screen, action, ZELK_NUL_TERMINATED, &performed),
       "zelk_screen_perform");
  zelk_screen_free(screen);
  if (!performed) {
    fprintf(stderr, "c-host: '%s' is not available on this screen\n", action);
    exit(1);
  }
}

/* ---- The sandbox's code --------------------------------------------------------------------- */

struct buffer {
  char data[4096];
  size_t length;
};

static size_t collect(char* data, size_t size, size_t count, void* out) {
  struct buffer* buffer = (struct buffer*)out;
  size_t room = sizeof buffer->data - 1 - buffer->length;
  size_t taken = size * count < room ? size * count : room;
  memcpy(buffer->data + buffer->length, data, taken);
  buffer->length += taken;
  buffer->data[buffer->length] = '\0';
  return size * count;
}

/* The last code the sandbox sent for the challenge, into `code` (7 bytes). */
static void sandbox_code(const char* challenge_id, char* code) {
  char url[1024];
  struct buffer reply;
  const char* found;
  CURL* easy = curl_easy_init();
  reply.length = 0;
  reply.data[0] = '\0';
  snprintf(url, sizeof url, "%s/_sandbox/challenge/%s", base_url, challenge_id);
  curl_easy_setopt(easy, CURLOPT_URL, url);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply);
  if (curl_easy_perform(easy) != CURLE_OK) {
    fprintf(stderr, "c-host: could not read %s (is the service the sandbox?)\n", url);
    exit(1);
  }
  curl_easy_cleanup(easy);
  found = strstr(reply.data, "\"code\":\"");
  if (found == NULL || strlen(found) < 14) {
    fprintf(stderr, "c-host: no code in %s\n", reply.data);
    exit(1);
  }
  memcpy(code, found + 8, 6);
  code[6] = '\0';
}

int main(int argc, char** argv) {
  int i;
  zelk_client *tablet, *phone;
  zelk_container* container = NULL;
  zelk_challenge* challenge = NULL;
  zelk_screen* screen;
  char *challenge_id = NULL, *tablet_id = NULL;
  char code[7];
  bool tablet_logged_out = false, performed = false;
  struct showing wanted;

  for (i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--base-url") == 0) base_url = argv[i + 1];
    if (strcmp(argv[i], "--client-id") == 0) client_id = argv[i + 1];
    if (strcmp(argv[i], "--user") == 0) user = argv[i + 1];
  }
  printf("libzelk-c %s (interface %d)\n", zelk_version(), zelk_abi_version());
  curl_global_init(CURL_GLOBAL_DEFAULT);
  must(zelk_run_loop_new(&loop), "zelk_run_loop_new");

  tablet = make_device("iPad Air", "7D444840-9DC0-11D1-B245-5FFDCE74FAD2");
  must(zelk_client_on_logout(tablet, set_flag, &tablet_logged_out, NULL), "zelk_client_on_logout");
  must(zelk_client_attach(tablet, NULL, 0, NULL, NULL, NULL), "zelk_client_attach");
  wait_for(has_device_id, tablet, "attach reply for the tablet");
  must(zelk_client_device_id(tablet, &tablet_id, NULL), "zelk_client_device_id");
  printf("tablet: attached as %s\n", tablet_id);

  phone = make_device("iPhone", "0A1B2C3D-4E5F-4061-8272-839495A6B7C8");
  must(zelk_container_new(phone, &container), "zelk_container_new");
  wait_for(challenge_visible, container, "challenge");
  must(zelk_container_challenge(container, &challenge), "zelk_container_challenge");
  must(zelk_challenge_text(challenge, ZELK_CHALLENGE_ID, &challenge_id, NULL), "challenge id");
  zelk_challenge_free(challenge);
  printf("phone: challenge %s covers the content\n", challenge_id);

  screen = top_screen(container);
  print_screen(screen);
  zelk_screen_free(screen);
  act(container, "verifyToContinue");

  screen = top_screen(container);
  print_screen(screen);
  zelk_screen_free(screen);
  act(container, "requestEmailCode");
  wanted.container = container;
  wanted.kind = ZELK_SCREEN_VERIFICATION_CODE;
  wait_for(shows, &wanted, "code screen");

  sandbox_code(challenge_id, code);
  printf("(the code from the message: %s)\n", code);
  screen = top_screen(container);
  must(zelk_screen_type_code(screen, code, 6, NULL), "zelk_screen_type_code");
  zelk_screen_free(screen);
  screen = top_screen(container);
  print_screen(screen);
  zelk_screen_free(screen);
  act(container, "verifyCode");

  wait_for(limiter_settled, container, "device limiter");
  screen = top_screen(container);
  print_screen(screen);
  printf("> toggle:%s\n", tablet_id);
  must(zelk_screen_toggle_device(screen, tablet_id, ZELK_NUL_TERMINATED, &performed),
       "zelk_screen_toggle_device");
  zelk_screen_free(screen);
  act(container, "logOut");
  wait_for(flag_set, &tablet_logged_out, "logout of the tablet");
  printf("tablet: the service logged this device out\n");
  wait_for(limiter_settled, container, "device limiter");
  screen = top_screen(container);
  print_screen(screen);
  zelk_screen_free(screen);
  act(container, "logOut");
  wait_for(challenge_hidden, container, "end of the challenge");
  printf("\nphone: the challenge is closed; the content shows again\n");

  zelk_string_free(challenge_id);
  zelk_string_free(tablet_id);
  zelk_container_free(container);
  zelk_client_flush(phone, 5000, NULL);
  zelk_client_flush(tablet, 5000, NULL);
  zelk_client_free(phone);
  zelk_client_free(tablet);
  zelk_run_loop_run(loop, 100);
  zelk_run_loop_free(loop);
  curl_global_cleanup();
  return 0;
}
