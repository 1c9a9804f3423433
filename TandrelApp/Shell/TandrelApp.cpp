// The program's start routine. Everything else lives in TandrelAppLib, so tests link it without main().
#include "TandrelApp/Shell/Main.h"

int main(int argc, char** argv) {
    return Main::main(argc, argv);
}
