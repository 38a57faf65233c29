/* The protocol: its fields and expert items, the datagram header and sequence tracking, the Info
 * column, and how the stream is found (its UDP port, Decode As and a heuristic). */
#include <epan/prefs.h>
#include <epan/tap.h>

#include "fipgate_events.h"
#include "fipgate_frame.h"

int proto_fipgate = -1;
fipgate_fields fipgate_hf;
fipgate_experts fipgate_ei;
gint ett_fipgate = -1, ett_fipgate_event = -1, ett_fipgate_frame = -1, ett_fipgate_check = -1,
     ett_fipgate_status = -1, ett_fipgate_fcs_info = -1, ett_fipgate_response = -1,
     ett_fipgate_group = -1, ett_fipgate_idx = -1;

static dissector_handle_t fipgate_handle;
static guint pref_port = FIPGATE_DEFAULT_PORT;
static guint registered_port = 0;

static const value_string fcs_type_names[] = {
    {0, "none (every frame fails the FCS check)"},
    {1, "CRC-16/GSM, polynomial 0x1021"},
    {2, "CRC-16/PROFIBUS, polynomial 0x1DCF"},
    {3, "none (every frame fails the FCS check)"},
    {0, NULL},
};
static const value_string check_results[] = {
    {0, "not run (an earlier check failed)"}, {1, "pass"}, {2, "fail"}, {0, NULL}};
static const value_string event_types[] = {{FIPGATE_TYPE_CAPTURE, "capture record"},
                                           {FIPGATE_TYPE_LIFESIGN, "lifesign record"},
                                           {0, NULL}};

static const char* const status_bit_names[8] = {
    "Status bit 0", "Status bit 1",
    "Status bit 2", "Status bit 3",
    "Status bit 4", "Status bit 5",
    "Status bit 6", "Status bit 7 (not interpreted by the gateway)"};
static const char* const status_bit_abbrevs[8] = {
    "fipgate.status.bit0", "fipgate.status.bit1", "fipgate.status.bit2", "fipgate.status.bit3",
    "fipgate.status.bit4", "fipgate.status.bit5", "fipgate.status.bit6", "fipgate.status.bit7"};

static void add_sequence(packet_info* pinfo, proto_tree* root, tvbuff_t* tvb, proto_item* seq_item,
                         guint64 seq, char* note, size_t note_size) {
    const fipgate_seq_verdict v = fipgate_judge_sequence(pinfo, seq);
    note[0] = '\0';
    if (v.has_prev) {
        proto_item_set_generated(
            proto_tree_add_uint64(root, fipgate_hf.prev_seq, tvb, 4, 8, v.prev));
    }
    switch (v.kind) {
    case FIPGATE_SEQ_GAP:
        proto_item_set_generated(proto_tree_add_uint64(root, fipgate_hf.lost, tvb, 4, 8, v.lost));
        expert_add_info_format(pinfo, seq_item, &fipgate_ei.gap,
                               "Sequence gap: %" G_GUINT64_FORMAT
                               " datagram(s) lost between %" G_GUINT64_FORMAT
                               " and %" G_GUINT64_FORMAT,
                               v.lost, v.prev, seq);
        g_snprintf(note, note_size, ", %" G_GUINT64_FORMAT " lost", v.lost);
        break;
    case FIPGATE_SEQ_RESTART:
        expert_add_info_format(pinfo, seq_item, &fipgate_ei.restart,
                               "Gateway restart: sequence back to 1 after %" G_GUINT64_FORMAT,
                               v.prev);
        g_strlcpy(note, ", restart", note_size);
        break;
    case FIPGATE_SEQ_DUPLICATE:
        expert_add_info_format(pinfo, seq_item, &fipgate_ei.duplicate,
                               "Duplicate of datagram %" G_GUINT64_FORMAT, seq);
        g_strlcpy(note, ", duplicate", note_size);
        break;
    case FIPGATE_SEQ_REORDERED:
        expert_add_info_format(pinfo, seq_item, &fipgate_ei.reordered,
                               "Datagram %" G_GUINT64_FORMAT " arrives after %" G_GUINT64_FORMAT,
                               seq, v.prev);
        g_strlcpy(note, ", out of order", note_size);
        break;
    default:
        break;
    }
}

int fipgate_dissect(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree, void* data _U_) {
    const int total = (int)tvb_reported_length(tvb);
    col_set_str(pinfo->cinfo, COL_PROTOCOL, "FIPGATE");
    proto_item* root_item = proto_tree_add_item(tree, proto_fipgate, tvb, 0, -1, ENC_NA);
    proto_tree* root = proto_item_add_subtree(root_item, ett_fipgate);
    if (total < FIPGATE_HEADER_SIZE) {
        expert_add_info_format(pinfo, root_item, &fipgate_ei.short_datagram,
                               "Datagram of %d bytes is shorter than its 16-byte header", total);
        col_add_fstr(pinfo->cinfo, COL_INFO, "Malformed: %d-byte datagram", total);
        return total;
    }
    const gboolean magic_ok = tvb_get_ntohl(tvb, 0) == 0x43560100;
    proto_item* magic_item = proto_tree_add_item(root, fipgate_hf.magic, tvb, 0, 2, ENC_NA);
    proto_tree_add_item(root, fipgate_hf.version, tvb, 2, 2, ENC_NA);
    if (!magic_ok) {
        expert_add_info_format(pinfo, magic_item, &fipgate_ei.bad_magic,
                               "Header does not start with 43 56 01 00");
        col_set_str(pinfo->cinfo, COL_INFO, "Not a fipgate datagram");
        return total;
    }
    const guint64 seq = tvb_get_ntoh64(tvb, 4);
    proto_item* seq_item = proto_tree_add_item(root, fipgate_hf.seq, tvb, 4, 8, ENC_BIG_ENDIAN);
    const guint32 count = tvb_get_ntohl(tvb, 12);
    proto_item* count_item =
        proto_tree_add_item(root, fipgate_hf.count, tvb, 12, 4, ENC_BIG_ENDIAN);

    char seq_note[64];
    add_sequence(pinfo, root, tvb, seq_item, seq, seq_note, sizeof seq_note);
    fipgate_records* records = fipgate_records_begin(pinfo, seq);
    fipgate_summary summary;
    memset(&summary, 0, sizeof summary);
    fipgate_dissect_events(tvb, pinfo, root, records, &summary);
    proto_item_set_generated(
        proto_tree_add_uint(root, fipgate_hf.walked, tvb, 12, 4, summary.walked));
    if (summary.walked != count) {
        expert_add_info_format(pinfo, count_item, &fipgate_ei.count,
                               "Event count %u in the header, %u events walked", count,
                               summary.walked);
    }

    proto_item_append_text(root_item, ", Seq: %" G_GUINT64_FORMAT ", Events: %u", seq, count);
    col_clear(pinfo->cinfo, COL_INFO);
    col_add_fstr(pinfo->cinfo, COL_INFO,
                 "Seq=%" G_GUINT64_FORMAT " Events=%u (%u capture, %u lifesign)", seq, count,
                 summary.captures, summary.lifesigns);
    guint bad_frames = 0;
    for (int v = FIPGATE_VERDICT_BAD_CONTROL; v <= FIPGATE_VERDICT_BAD_LENGTH; ++v) {
        bad_frames += summary.checks[v];
    }
    if (bad_frames > 0) {
        col_append_fstr(pinfo->cinfo, COL_INFO, ", %u bad frame(s)", bad_frames);
    }
    if (summary.index_breaks > 0) {
        col_append_fstr(pinfo->cinfo, COL_INFO, ", %u record index break(s)", summary.index_breaks);
    }
    if (summary.malformed > 0 || summary.walked != count) {
        col_append_str(pinfo->cinfo, COL_INFO, ", MALFORMED");
    }
    col_append_str(pinfo->cinfo, COL_INFO, seq_note);
    tap_queue_packet(fipgate_tap, pinfo, NULL);
    return total;
}

/* Recognises the stream on any UDP port: magic, constant bytes, a non-zero event count and a
 * first event whose type is known and whose length fits the datagram. */
static gboolean heuristic(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree, void* data) {
    const guint total = tvb_captured_length(tvb);
    if (total < FIPGATE_HEADER_SIZE + FIPGATE_EVENT_HEADER_SIZE) {
        return FALSE;
    }
    if (tvb_get_ntohl(tvb, 0) != 0x43560100 || tvb_get_ntohl(tvb, 12) == 0) {
        return FALSE;
    }
    const guint8 etype = tvb_get_guint8(tvb, FIPGATE_HEADER_SIZE);
    const guint len = tvb_get_ntohs(tvb, FIPGATE_HEADER_SIZE + 1);
    if (etype != FIPGATE_TYPE_CAPTURE && etype != FIPGATE_TYPE_LIFESIGN) {
        return FALSE;
    }
    if (len < FIPGATE_EVENT_HEADER_SIZE || FIPGATE_HEADER_SIZE + len > total) {
        return FALSE;
    }
    fipgate_dissect(tvb, pinfo, tree, data);
    return TRUE;
}

static void register_port(void) {
    if (registered_port == pref_port) {
        return;
    }
    if (registered_port != 0) {
        dissector_delete_uint("udp.port", registered_port, fipgate_handle);
    }
    if (pref_port != 0) {
        dissector_add_uint("udp.port", pref_port, fipgate_handle);
    }
    registered_port = pref_port;
}

static void register_fields(void) {
    static hf_register_info hf[] = {
        {&fipgate_hf.magic,
         {"Magic", "fipgate.magic", FT_BYTES, BASE_NONE, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.version,
         {"Version bytes", "fipgate.version", FT_BYTES, BASE_NONE, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.seq,
         {"Sequence number", "fipgate.seq", FT_UINT64, BASE_DEC, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.count,
         {"Event count", "fipgate.count", FT_UINT32, BASE_DEC, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.walked,
         {"Events walked", "fipgate.walked", FT_UINT32, BASE_DEC, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.lost,
         {"Datagrams lost before this one", "fipgate.lost", FT_UINT64, BASE_DEC, NULL, 0x0, NULL,
          HFILL}},
        {&fipgate_hf.prev_seq,
         {"Previous sequence number", "fipgate.prev_seq", FT_UINT64, BASE_DEC, NULL, 0x0, NULL,
          HFILL}},
        {&fipgate_hf.event, {"Event", "fipgate.event", FT_NONE, BASE_NONE, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.type,
         {"Type", "fipgate.type", FT_UINT8, BASE_HEX, VALS(event_types), 0x0, NULL, HFILL}},
        {&fipgate_hf.length,
         {"Length", "fipgate.length", FT_UINT16, BASE_DEC, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.fcs_info,
         {"FCS info", "fipgate.fcs_info", FT_UINT8, BASE_HEX, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.fcs_type,
         {"FCS type", "fipgate.fcs_type", FT_UINT8, BASE_DEC, VALS(fcs_type_names), 0x18, NULL,
          HFILL}},
        {&fipgate_hf.status,
         {"Status", "fipgate.status", FT_UINT8, BASE_HEX, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.idx, {"Index", "fipgate.idx", FT_UINT64, BASE_DEC, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.prev_idx,
         {"Previous record index", "fipgate.prev_idx", FT_UINT64, BASE_DEC, NULL, 0x0, NULL,
          HFILL}},
        {&fipgate_hf.lost_records,
         {"Records missing before this one", "fipgate.lost_records", FT_UINT64, BASE_DEC, NULL, 0x0,
          NULL, HFILL}},
        {&fipgate_hf.reserved,
         {"Reserved", "fipgate.reserved", FT_BYTES, BASE_NONE, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.frame,
         {"FIP frame", "fipgate.frame", FT_BYTES, BASE_NONE, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.control,
         {"Control byte", "fipgate.frame.control", FT_UINT8, BASE_HEX, VALS(fipgate_control_names),
          0x0, NULL, HFILL}},
        {&fipgate_hf.name,
         {"Frame name", "fipgate.frame.name", FT_STRING, BASE_NONE, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.kind,
         {"Frame kind", "fipgate.frame.kind", FT_STRING, BASE_NONE, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.identifier,
         {"Identifier", "fipgate.frame.identifier", FT_UINT16, BASE_HEX, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.pdu_type,
         {"PDU type", "fipgate.frame.pdu_type", FT_UINT8, BASE_HEX, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.data,
         {"Data", "fipgate.frame.data", FT_BYTES, BASE_NONE, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.frame_len,
         {"Frame length", "fipgate.frame.length", FT_UINT16, BASE_DEC, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.fcs,
         {"FCS", "fipgate.frame.fcs", FT_UINT16, BASE_HEX, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.fcs_computed,
         {"FCS computed", "fipgate.frame.fcs_computed", FT_UINT16, BASE_HEX, NULL, 0x0, NULL,
          HFILL}},
        {&fipgate_hf.fcs_good,
         {"FCS good", "fipgate.frame.fcs_good", FT_BOOLEAN, BASE_NONE, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.verdict,
         {"Gateway check", "fipgate.check", FT_UINT8, BASE_DEC, VALS(fipgate_verdict_names), 0x0,
          NULL, HFILL}},
        {&fipgate_hf.check_ctrl,
         {"Control byte check", "fipgate.check.ctrl", FT_UINT8, BASE_DEC, VALS(check_results), 0x0,
          NULL, HFILL}},
        {&fipgate_hf.check_fcs,
         {"FCS check", "fipgate.check.fcs", FT_UINT8, BASE_DEC, VALS(check_results), 0x0, NULL,
          HFILL}},
        {&fipgate_hf.check_pdu,
         {"PDU check", "fipgate.check.pdu", FT_UINT8, BASE_DEC, VALS(check_results), 0x0, NULL,
          HFILL}},
        {&fipgate_hf.check_len,
         {"Length check", "fipgate.check.len", FT_UINT8, BASE_DEC, VALS(check_results), 0x0, NULL,
          HFILL}},
        {&fipgate_hf.response,
         {"Response", "fipgate.frame.response", FT_STRING, BASE_NONE, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.response_in,
         {"Response in frame", "fipgate.frame.response_in", FT_FRAMENUM, BASE_NONE,
          FRAMENUM_TYPE(FT_FRAMENUM_RESPONSE), 0x0, NULL, HFILL}},
        {&fipgate_hf.response_idx,
         {"Response record index", "fipgate.frame.response_idx", FT_UINT64, BASE_DEC, NULL, 0x0,
          NULL, HFILL}},
        {&fipgate_hf.response_name,
         {"Response frame name", "fipgate.frame.response_name", FT_STRING, BASE_NONE, NULL, 0x0,
          NULL, HFILL}},
        /* Only on a poll left without an answer, so that -T fields prints that identifier alone
         * rather than every identifier of the datagram. */
        {&fipgate_hf.unanswered,
         {"Identifier with no response", "fipgate.frame.unanswered", FT_UINT16, BASE_HEX, NULL, 0x0,
          NULL, HFILL}},
        {&fipgate_hf.request_in,
         {"Identifier in frame", "fipgate.frame.request_in", FT_FRAMENUM, BASE_NONE,
          FRAMENUM_TYPE(FT_FRAMENUM_REQUEST), 0x0, NULL, HFILL}},
        {&fipgate_hf.request_idx,
         {"Identifier record index", "fipgate.frame.request_idx", FT_UINT64, BASE_DEC, NULL, 0x0,
          NULL, HFILL}},
        {&fipgate_hf.event_data,
         {"Event bytes", "fipgate.event_data", FT_BYTES, BASE_NONE, NULL, 0x0, NULL, HFILL}},
        {&fipgate_hf.ls_extra,
         {"Fields after the known ones", "fipgate.ls.extra", FT_BYTES, BASE_NONE, NULL, 0x0, NULL,
          HFILL}},
        {&fipgate_hf.trailing,
         {"Bytes after the last event", "fipgate.trailing", FT_BYTES, BASE_NONE, NULL, 0x0, NULL,
          HFILL}},
    };
    proto_register_field_array(proto_fipgate, hf, array_length(hf));

    static hf_register_info status_hf[8];
    for (int bit = 0; bit < 8; ++bit) {
        hf_register_info info = {&fipgate_hf.status_bit[bit],
                                 {status_bit_names[bit], status_bit_abbrevs[bit], FT_BOOLEAN, 8,
                                  NULL, 1U << bit, NULL, HFILL}};
        status_hf[bit] = info;
    }
    proto_register_field_array(proto_fipgate, status_hf, array_length(status_hf));
    fipgate_register_lifesign_fields(proto_fipgate);
}

static void register_experts(void) {
    static ei_register_info ei[] = {
        {&fipgate_ei.bad_magic,
         {"fipgate.bad_magic", PI_MALFORMED, PI_ERROR, "Not a fipgate header", EXPFILL}},
        {&fipgate_ei.short_datagram,
         {"fipgate.short", PI_MALFORMED, PI_ERROR, "Datagram shorter than its 16-byte header",
          EXPFILL}},
        {&fipgate_ei.gap, {"fipgate.gap", PI_SEQUENCE, PI_WARN, "Datagram sequence gap", EXPFILL}},
        {&fipgate_ei.restart,
         {"fipgate.restart", PI_SEQUENCE, PI_NOTE, "Gateway restart", EXPFILL}},
        {&fipgate_ei.duplicate,
         {"fipgate.duplicate", PI_SEQUENCE, PI_WARN, "Duplicate datagram", EXPFILL}},
        {&fipgate_ei.reordered,
         {"fipgate.reordered", PI_SEQUENCE, PI_WARN, "Datagram out of order", EXPFILL}},
        {&fipgate_ei.malformed,
         {"fipgate.malformed", PI_MALFORMED, PI_ERROR, "Malformed event", EXPFILL}},
        {&fipgate_ei.count,
         {"fipgate.count_mismatch", PI_MALFORMED, PI_ERROR, "Event count mismatch", EXPFILL}},
        {&fipgate_ei.bad_fcs, {"fipgate.bad_fcs", PI_CHECKSUM, PI_WARN, "Bad FCS", EXPFILL}},
        {&fipgate_ei.bad_control,
         {"fipgate.bad_control", PI_PROTOCOL, PI_WARN, "Bad control byte", EXPFILL}},
        {&fipgate_ei.bad_pdu, {"fipgate.bad_pdu", PI_PROTOCOL, PI_WARN, "Bad PDU", EXPFILL}},
        {&fipgate_ei.bad_length,
         {"fipgate.bad_length", PI_PROTOCOL, PI_WARN, "Bad length", EXPFILL}},
        {&fipgate_ei.check,
         {"fipgate.check_failed", PI_PROTOCOL, PI_WARN, "Frame fails a gateway check", EXPFILL}},
        {&fipgate_ei.index_break,
         {"fipgate.index_break", PI_SEQUENCE, PI_WARN, "Record index break", EXPFILL}},
        {&fipgate_ei.no_response,
         {"fipgate.no_response", PI_RESPONSE_CODE, PI_WARN, "No response", EXPFILL}},
        {&fipgate_ei.lifesign_extra,
         {"fipgate.lifesign_extra", PI_PROTOCOL, PI_NOTE, "Lifesign fields not decoded", EXPFILL}},
    };
    expert_module_t* module = expert_register_protocol(proto_fipgate);
    expert_register_field_array(module, ei, array_length(ei));
}

void proto_register_fipgate(void) {
    fipgate_frame_init_tables();
    proto_fipgate = proto_register_protocol("FIP gateway stream", "FIPGATE", "fipgate");
    register_fields();
    register_experts();
    static gint* ett[] = {&ett_fipgate,          &ett_fipgate_event,  &ett_fipgate_frame,
                          &ett_fipgate_check,    &ett_fipgate_status, &ett_fipgate_fcs_info,
                          &ett_fipgate_response, &ett_fipgate_group,  &ett_fipgate_idx};
    proto_register_subtree_array(ett, array_length(ett));

    module_t* prefs = prefs_register_protocol(proto_fipgate, register_port);
    prefs_register_uint_preference(
        prefs, "port", "UDP port",
        "UDP port the gateway broadcasts to (its -p option or UdpPort setting)", 10, &pref_port);

    fipgate_handle = register_dissector("fipgate", fipgate_dissect, proto_fipgate);
    register_init_routine(fipgate_tracking_init);
    register_shutdown_routine(fipgate_tracking_free);
    fipgate_register_stats();
}

void proto_reg_handoff_fipgate(void) {
    registered_port = 0;
    register_port();
    dissector_add_for_decode_as("udp.port", fipgate_handle);
    heur_dissector_add("udp", heuristic, "FIP gateway stream", "fipgate_udp", proto_fipgate,
                       HEURISTIC_ENABLE);
}
