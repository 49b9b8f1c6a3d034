#include "hidiap_tool.h"

int main(int argc, char **argv) {
    return host::run_tool(argc, argv);
}
