// SPDX-License-Identifier: Apache-2.0
// Imports the C interface as the clang module CZelk, as Swift's importer does, and uses a
// nullable out-parameter, a callback type and an options struct through it.
@import CZelk;

static void released(void* _Nullable data) { (void)data; }

int check(void) {
  zelk_client_options options;
  zelk_client_options_init(&options);
  zelk_free_fn free_fn = released;
  char* _Nullable message = NULL;
  zelk_last_error(&message, NULL);
  zelk_string_free(message);
  free_fn(NULL);
  return options.size == sizeof options && zelk_abi_version() == ZELK_ABI_VERSION ? 0 : 1;
}
