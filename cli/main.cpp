// quenda: the command-line host of the Quenda denoising plug-in.
#include "cli/commands.h"

int main(int argc, char** argv) { return quenda_cli::runCommandLine(argc, argv); }
