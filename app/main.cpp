#include "app/updater.h"

int main(int argc, char** argv) { return qdp::UpdaterMain(argc, argv); }
