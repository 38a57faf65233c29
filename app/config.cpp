#include "app/config.hpp"

#include <cstdlib>
#include <cstring>

app_cfg cfg{};
char* pid_file_name = nullptr;
const char* app_name = "fipgate";
const char* const default_buffer_path = "/tmp/norvale/vimbo/buffer.bin";

void replace_text(char** field, const char* value) {
    std::free(*field);
    *field = value != nullptr ? strdup(value) : nullptr;
}

void release_config_texts(app_cfg* c) {
    replace_text(&c->log_file_name, nullptr);
    replace_text(&c->buff_file_name, nullptr);
    replace_text(&c->conf_file_name, nullptr);
    replace_text(&c->udp_address, nullptr);
    replace_text(&c->udp_interface, nullptr);
    replace_text(&pid_file_name, nullptr);
}

void reset_config(app_cfg* c) {
    release_config_texts(c);
    *c = app_cfg{};
    c->device_index = -1;
    c->udp_port = default_udp_port;
    c->buff_size = default_buffer_size;
    c->stats_period = default_stats_period;
    c->lifesign_period = default_lifesign_period;
    c->max_evt = default_max_evt;
    c->multicast_ttl = default_multicast_ttl;
    c->datagram_cap = default_datagram_cap;
}
