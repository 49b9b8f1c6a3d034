#include "host/app/hidiap_tool.h"
#include "host/platform/platform.h"

int main(int argc, char **argv) {
    host::prepare_standard_streams();
    // Without a UTF-8 locale the device's product string is lost when it is not plain ASCII.
    host::use_utf8_multibyte_text();
    host::install_interrupt_handlers();
    return host::run_tool(argc, argv);
}
