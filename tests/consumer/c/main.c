/* SPDX-License-Identifier: Apache-2.0 */
/* A C host of the installed C interface: attaches one device against the service at argv[1] and
 * exits 0 once the reply arrives. */
#include <zelk/zelk.h>

#include <stdio.h>

static bool attached;

static void on_reply(void* data, zelk_attach_response* response) {
  char* device = NULL;
  int64_t success = 0;
  (void)data;
  zelk_attach_response_text(response, ZELK_ATTACH_DEVICE_ID, &device, NULL);
  zelk_attach_response_number(response, ZELK_ATTACH_SUCCESS, &success, NULL);
  printf("attached %s (libzelk-c %s)\n", device ? device : "?", zelk_version());
  zelk_string_free(device);
  attached = success == 1;
}

static bool done(void* data) {
  (void)data;
  return attached;
}

int main(int argc, char** argv) {
  zelk_run_loop* loop = NULL;
  zelk_client* client = NULL;
  zelk_client_options options;
  if (argc < 2) {
    fprintf(stderr, "usage: c-consumer BASE_URL\n");
    return 2;
  }
  if (zelk_abi_version() != ZELK_ABI_VERSION) return 1;
  zelk_run_loop_new(&loop);
  zelk_client_options_init(&options);
  options.base_url = argv[1];
  options.base_url_length = ZELK_NUL_TERMINATED;
  options.run_loop = loop;
  options.preferences = ZELK_PREFERENCES_MEMORY;
  if (zelk_client_new("consumer-project", ZELK_NUL_TERMINATED, &options, &client) != ZELK_OK ||
      zelk_client_set_user_id(client, "consumer-user", ZELK_NUL_TERMINATED) != ZELK_OK ||
      zelk_client_attach(client, NULL, 0, on_reply, NULL, NULL) != ZELK_OK) {
    return 1;
  }
  zelk_run_loop_run_until(loop, done, NULL, 20000, NULL);
  zelk_client_flush(client, 5000, NULL);
  zelk_client_free(client);
  zelk_run_loop_run(loop, 100);
  zelk_run_loop_free(loop);
  return attached ? 0 : 1;
}
