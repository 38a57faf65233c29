// The compiled Wireshark dissector over arbitrary datagrams, through Wireshark's own dissection
// engine: each input is the payload of a UDP datagram to the gateway's port, dissected with a
// tree as Wireshark does it, so IP, UDP and every fipgate item are built. The dissector reads
// packet bytes only through tvb accessors, which throw on a read past the end; a sanitizer
// report or a crash here is a fault of ours. Datagrams follow each other as in a capture (the
// sequence and transaction tracking carry over) until the session is renewed.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" {
#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/frame_data.h>
#include <epan/proto.h>
#include <epan/tvbuff.h>
#include <wiretap/wtap.h>
#include <wsutil/privileges.h>

void proto_register_fipgate(void);
void proto_reg_handoff_fipgate(void);
}

namespace {

constexpr std::uint16_t kGatewayPort = 57117;      // where the dissector is registered
constexpr std::uint32_t kPacketsPerSession = 8192; // then the tracking starts again, as a new file
constexpr std::size_t kMaxPayload = 65507;         // the largest UDP payload over IPv4

epan_t* session = nullptr;
std::uint32_t number = 0;

// Every earlier frame at the same time: the frame dissector asks for the previous one's.
const nstime_t* frame_time(struct packet_provider_data*, guint32) {
    static const nstime_t start = {1'700'000'000, 0};
    return &start;
}

void renew_session() {
    if (session != nullptr) {
        epan_free(session);
    }
    static const packet_provider_funcs funcs = {frame_time, nullptr, nullptr, nullptr};
    session = epan_new(nullptr, &funcs);
    number = 0;
}

// An IPv4 packet around a UDP datagram to the gateway's port: what Wireshark sees on the wire.
std::vector<std::uint8_t> ip_packet(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> p(28 + size);
    const std::size_t ip_len = p.size();
    const std::size_t udp_len = 8 + size;
    const std::uint8_t header[28] = {0x45,
                                     0,
                                     static_cast<std::uint8_t>(ip_len >> 8),
                                     static_cast<std::uint8_t>(ip_len),
                                     0,
                                     0,
                                     0,
                                     0,
                                     64,
                                     17,
                                     0,
                                     0,
                                     10,
                                     0,
                                     0,
                                     2,
                                     255,
                                     255,
                                     255,
                                     255,
                                     0x9c,
                                     0x40,
                                     kGatewayPort >> 8,
                                     kGatewayPort & 0xFF,
                                     static_cast<std::uint8_t>(udp_len >> 8),
                                     static_cast<std::uint8_t>(udp_len),
                                     0,
                                     0};
    std::memcpy(p.data(), header, sizeof header);
    if (size > 0) {
        std::memcpy(p.data() + 28, data, size);
    }
    return p;
}

} // namespace

// What one datagram leaves behind is the point of the tracking (and of Wireshark's own state):
// memory that outlives an input is no leak here, and checking for one after every input would
// scan Wireshark's whole heap each time.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    init_process_policies();
    relinquish_special_privs_perm();
    wtap_init(FALSE);
    static proto_plugin plugin = {proto_register_fipgate, proto_reg_handoff_fipgate};
    proto_register_plugin(&plugin);
    if (!epan_init(nullptr, nullptr, FALSE)) {
        return 1;
    }
    epan_load_settings();
    renew_session();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxPayload) {
        return -1;
    }
    if (number == kPacketsPerSession) {
        renew_session();
    }
    std::vector<std::uint8_t> packet = ip_packet(data, size);
    wtap_rec rec;
    wtap_rec_init(&rec);
    rec.rec_type = REC_TYPE_PACKET;
    rec.presence_flags = WTAP_HAS_TS;
    rec.ts.secs = 1'700'000'000;
    rec.rec_header.packet_header.caplen = static_cast<guint32>(packet.size());
    rec.rec_header.packet_header.len = static_cast<guint32>(packet.size());
    rec.rec_header.packet_header.pkt_encap = WTAP_ENCAP_RAW_IP;

    frame_data fd;
    frame_data_init(&fd, ++number, &rec, 0, 0);
    epan_dissect_t* edt = epan_dissect_new(session, TRUE, TRUE);
    tvbuff_t* tvb = tvb_new_real_data(packet.data(), static_cast<guint>(packet.size()),
                                      static_cast<gint>(packet.size()));
    epan_dissect_run(edt, WTAP_FILE_TYPE_SUBTYPE_UNKNOWN, &rec, tvb, &fd, nullptr);
    epan_dissect_free(edt);
    frame_data_destroy(&fd);
    wtap_rec_cleanup(&rec);
    return 0;
}
