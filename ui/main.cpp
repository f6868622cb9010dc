// SPDX-License-Identifier: BSD-3-Clause
// pulvina: the desktop program.
#include "CrystalMain.h"

int main(int argc, char **argv) { return pulvina_main(argc, argv); }
