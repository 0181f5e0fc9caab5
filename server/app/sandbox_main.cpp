// SPDX-License-Identifier: Apache-2.0
// zelk-sandbox: zelk-server --sandbox, under the name the demo and host developers know.
#include "app/program.hpp"

int main(int argc, char** argv) {
  return zelk::server::runProgram(argc, argv, /*sandboxAlias=*/true);
}
