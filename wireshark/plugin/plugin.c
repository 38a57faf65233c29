/* The entry Wireshark calls when it loads the plugin: the version it was built for and the
 * protocol's registration. */
#define WS_BUILD_DLL
#include <epan/packet.h>
#include <epan/proto.h>
#include <ws_symbol_export.h>
#include <ws_version.h>

#ifndef FIPGATE_VERSION
#error "FIPGATE_VERSION names the release the plugin belongs to"
#endif

void proto_register_fipgate(void);
void proto_reg_handoff_fipgate(void);

WS_DLL_PUBLIC_DEF const gchar plugin_version[] = FIPGATE_VERSION;
WS_DLL_PUBLIC_DEF const int plugin_want_major = WIRESHARK_VERSION_MAJOR;
WS_DLL_PUBLIC_DEF const int plugin_want_minor = WIRESHARK_VERSION_MINOR;

WS_DLL_PUBLIC void plugin_register(void);

void plugin_register(void) {
    static proto_plugin plugin;
    plugin.register_protoinfo = proto_register_fipgate;
    plugin.register_handoff = proto_reg_handoff_fipgate;
    proto_register_plugin(&plugin);
}
