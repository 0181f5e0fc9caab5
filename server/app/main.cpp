// SPDX-License-Identifier: Apache-2.0
// zelk-server: the account-protection service.
#include "app/program.hpp"

int main(int argc, char** argv) {
  return zelk::server::runProgram(argc, argv, /*sandboxAlias=*/false);
}
