#include "base/Application.h"

int main(int argc, char** argv) { return zk40::ZarkellMain(argc, argv); }
