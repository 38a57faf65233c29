/* One capture record's FIP frame: its kind by control byte, its fields, its FCS and the gateway's
 * four checks, in the gateway's own order. */
#include "fipgate_frame.h"

typedef struct {
    guint8 control;
    fipgate_kind kind;
    const char* name; /* as fipdump prints it */
} control_byte;

static const control_byte control_bytes[] = {
    {0x03, FIPGATE_KIND_IDENTIFIER, "ID_DAT"},
    {0x05, FIPGATE_KIND_IDENTIFIER, "ID_MSG"},
    {0x09, FIPGATE_KIND_IDENTIFIER, "ID_RQ1"},
    {0x29, FIPGATE_KIND_IDENTIFIER, "ID_RQ2"},
    {0x02, FIPGATE_KIND_VARIABLE_RESPONSE, "RP_DAT"},
    {0x06, FIPGATE_KIND_VARIABLE_RESPONSE, "RP_DAT_MSG"},
    {0x0A, FIPGATE_KIND_VARIABLE_RESPONSE, "RP_DAT_RQ1"},
    {0x0E, FIPGATE_KIND_VARIABLE_RESPONSE, "RP_DAT_RQ1_MSG"},
    {0x2A, FIPGATE_KIND_VARIABLE_RESPONSE, "RP_DAT_RQ2"},
    {0x2E, FIPGATE_KIND_VARIABLE_RESPONSE, "RP_DAT_RQ2_MSG"},
    {0x08, FIPGATE_KIND_REQUEST_LIST, "RP_RQ1"},
    {0x28, FIPGATE_KIND_REQUEST_LIST, "RP_RQ2"},
    {0x04, FIPGATE_KIND_MESSAGE, "RP_MSG_NOACK"},
    {0x14, FIPGATE_KIND_MESSAGE, "RP_MSG_ACK_E"},
    {0x94, FIPGATE_KIND_MESSAGE, "RP_MSG_ACK_O"},
    {0x10, FIPGATE_KIND_ACK_END, "RP_ACK_E-"},
    {0x30, FIPGATE_KIND_ACK_END, "RP_ACK_E+"},
    {0x90, FIPGATE_KIND_ACK_END, "RP_ACK_O-"},
    {0xB0, FIPGATE_KIND_ACK_END, "RP_ACK_O+"},
    {0x40, FIPGATE_KIND_ACK_END, "RP_FIN"},
};

/* Any other control byte is named this. */
#define UNKNOWN_NAME "?"

/* The control byte's names as a value string, for the control byte field. */
value_string fipgate_control_names[G_N_ELEMENTS(control_bytes) + 1];

static const char* const kind_names[] = {
    [FIPGATE_KIND_UNKNOWN] = "unknown",
    [FIPGATE_KIND_IDENTIFIER] = "identifier",
    [FIPGATE_KIND_VARIABLE_RESPONSE] = "variable response",
    [FIPGATE_KIND_REQUEST_LIST] = "request-list response",
    [FIPGATE_KIND_MESSAGE] = "message",
    [FIPGATE_KIND_ACK_END] = "acknowledgement/end",
};

/* Valid frame lengths in bytes, control byte and FCS included, bounds inclusive. */
static const struct {
    int min, max;
} length_rules[] = {
    [FIPGATE_KIND_UNKNOWN] = {0, G_MAXINT},      [FIPGATE_KIND_IDENTIFIER] = {5, 5},
    [FIPGATE_KIND_VARIABLE_RESPONSE] = {5, 131}, [FIPGATE_KIND_REQUEST_LIST] = {5, 131},
    [FIPGATE_KIND_MESSAGE] = {9, 265},           [FIPGATE_KIND_ACK_END] = {3, 3},
};

const value_string fipgate_verdict_names[] = {
    {FIPGATE_VERDICT_OK, "all four checks pass"},
    {FIPGATE_VERDICT_BAD_CONTROL, "bad control byte"},
    {FIPGATE_VERDICT_BAD_FCS, "bad FCS"},
    {FIPGATE_VERDICT_BAD_PDU, "bad PDU"},
    {FIPGATE_VERDICT_BAD_LENGTH, "bad length"},
    {FIPGATE_VERDICT_EMPTY, "empty frame, not checked"},
    {0, NULL},
};

/* Control byte -> its row in control_bytes + 1, 0 for none: one look-up per frame. */
static guint8 control_row[256];

void fipgate_frame_init_tables(void) {
    for (size_t i = 0; i < G_N_ELEMENTS(control_bytes); ++i) {
        control_row[control_bytes[i].control] = (guint8)(i + 1);
        fipgate_control_names[i].value = control_bytes[i].control;
        fipgate_control_names[i].strptr = control_bytes[i].name;
    }
}

const char* fipgate_frame_name(guint8 control) {
    const guint8 row = control_row[control];
    return row ? control_bytes[row - 1].name : UNKNOWN_NAME;
}

const char* fipgate_kind_name(fipgate_kind kind) {
    return kind_names[kind];
}

static fipgate_kind kind_of(guint8 control) {
    const guint8 row = control_row[control];
    return row ? control_bytes[row - 1].kind : FIPGATE_KIND_UNKNOWN;
}

static gboolean valid_pdu_type(guint8 pdu_type) {
    return pdu_type == 0x40 || pdu_type == 0x50;
}

static const char* verdict_name(fipgate_verdict verdict) {
    return val_to_str_const(verdict, fipgate_verdict_names, "?");
}

/* The FCS items; returns whether the FCS is right. */
static gboolean add_fcs(proto_tree* ft, packet_info* pinfo, tvbuff_t* tvb, int off, int body_end,
                        guint fcs_type) {
    const int fcs_at = off + body_end;
    const guint16 received = tvb_get_ntohs(tvb, fcs_at);
    proto_item* fcs_item =
        proto_tree_add_item(ft, fipgate_hf.fcs, tvb, fcs_at, FIPGATE_FCS_SIZE, ENC_BIG_ENDIAN);
    guint16 computed = 0;
    const char* algorithm = NULL;
    if (!fipgate_fcs(fcs_type, tvb, off, body_end, &computed, &algorithm)) {
        proto_item_set_generated(
            proto_tree_add_boolean(ft, fipgate_hf.fcs_good, tvb, fcs_at, FIPGATE_FCS_SIZE, 0));
        expert_add_info_format(pinfo, fcs_item, &fipgate_ei.bad_fcs,
                               "Bad FCS: FCS type %u names no algorithm", fcs_type);
        return FALSE;
    }
    const gboolean ok = computed == received;
    proto_item_set_generated(
        proto_tree_add_uint(ft, fipgate_hf.fcs_computed, tvb, fcs_at, FIPGATE_FCS_SIZE, computed));
    proto_item_set_generated(
        proto_tree_add_boolean(ft, fipgate_hf.fcs_good, tvb, fcs_at, FIPGATE_FCS_SIZE, ok));
    if (ok) {
        proto_item_append_text(fcs_item, " [correct, %s]", algorithm);
    } else {
        proto_item_append_text(fcs_item, " [incorrect, should be 0x%04x]", computed);
        expert_add_info_format(pinfo, fcs_item, &fipgate_ei.bad_fcs,
                               "Bad FCS: received 0x%04x, computed 0x%04x (%s)", received, computed,
                               algorithm);
    }
    return ok;
}

void fipgate_add_frame(proto_tree* tree, packet_info* pinfo, tvbuff_t* tvb, int off, int frame_len,
                       guint fcs_type, fipgate_frame* out) {
    memset(out, 0, sizeof *out);
    out->kind = FIPGATE_KIND_UNKNOWN;
    out->name = UNKNOWN_NAME;
    if (frame_len == 0) {
        proto_tree* empty =
            proto_tree_add_subtree(tree, tvb, off, 0, ett_fipgate_frame, NULL, "FIP frame: empty");
        proto_item_set_generated(proto_tree_add_uint(empty, fipgate_hf.frame_len, tvb, off, 0, 0));
        proto_item_set_generated(
            proto_tree_add_uint(empty, fipgate_hf.verdict, tvb, off, 0, FIPGATE_VERDICT_EMPTY));
        out->verdict = FIPGATE_VERDICT_EMPTY;
        return;
    }
    proto_item* frame_item =
        proto_tree_add_item(tree, fipgate_hf.frame, tvb, off, frame_len, ENC_NA);
    proto_tree* ft = proto_item_add_subtree(frame_item, ett_fipgate_frame);
    proto_item_set_generated(
        proto_tree_add_uint(ft, fipgate_hf.frame_len, tvb, off, frame_len, (guint32)frame_len));
    const guint8 control = tvb_get_guint8(tvb, off);
    const fipgate_kind kind = kind_of(control);
    const char* name = fipgate_frame_name(control);
    proto_tree_add_item(ft, fipgate_hf.control, tvb, off, 1, ENC_BIG_ENDIAN);
    proto_item_set_generated(proto_tree_add_string(ft, fipgate_hf.name, tvb, off, 1, name));
    proto_item_set_generated(
        proto_tree_add_string(ft, fipgate_hf.kind, tvb, off, 1, fipgate_kind_name(kind)));

    /* Fields that would overlap the FCS are not read from it. */
    const int body_end = frame_len - FIPGATE_FCS_SIZE;
    int data_from = 1;
    if (kind == FIPGATE_KIND_IDENTIFIER && frame_len >= 3 + FIPGATE_FCS_SIZE) {
        out->identifier = tvb_get_ntohs(tvb, off + 1);
        proto_item* id_item =
            proto_tree_add_item(ft, fipgate_hf.identifier, tvb, off + 1, 2, ENC_BIG_ENDIAN);
        /* Upper-case hex, the form fipdump and its metrics write an identifier in. */
        proto_item_set_text(id_item, "Identifier: 0x%04X", out->identifier);
        data_from = 3;
    } else if (kind == FIPGATE_KIND_VARIABLE_RESPONSE && frame_len >= 2 + FIPGATE_FCS_SIZE) {
        proto_item* pdu_item =
            proto_tree_add_item(ft, fipgate_hf.pdu_type, tvb, off + 1, 1, ENC_BIG_ENDIAN);
        if (!valid_pdu_type(tvb_get_guint8(tvb, off + 1))) {
            proto_item_append_text(pdu_item, " [invalid: 0x40 or 0x50 expected]");
        }
        data_from = 2;
    }
    guint8 pdu_type = 0;
    if (frame_len > 2) {
        pdu_type = tvb_get_guint8(tvb, off + 1);
    }
    if (body_end > data_from) {
        proto_tree_add_item(ft, fipgate_hf.data, tvb, off + data_from, body_end - data_from,
                            ENC_NA);
    }
    gboolean fcs_ok = FALSE;
    if (frame_len > FIPGATE_FCS_SIZE) {
        fcs_ok = add_fcs(ft, pinfo, tvb, off, body_end, fcs_type);
    }

    /* The gateway's checks in its own order: the first one failed is the verdict. */
    const gboolean checks[4] = {
        kind != FIPGATE_KIND_UNKNOWN,
        fcs_ok,
        frame_len <= 2 || kind != FIPGATE_KIND_VARIABLE_RESPONSE || valid_pdu_type(pdu_type),
        frame_len >= length_rules[kind].min && frame_len <= length_rules[kind].max,
    };
    guint32 results[4] = {0, 0, 0, 0};
    fipgate_verdict verdict = FIPGATE_VERDICT_OK;
    for (int i = 0; i < 4; ++i) {
        results[i] = checks[i] ? 1 : 2;
        if (!checks[i]) {
            verdict = (fipgate_verdict)(i + 1);
            break;
        }
    }
    proto_item* vt = proto_tree_add_uint(ft, fipgate_hf.verdict, tvb, off, frame_len, verdict);
    proto_item_set_generated(vt);
    proto_tree* vtree = proto_item_add_subtree(vt, ett_fipgate_check);
    const int check_fields[4] = {fipgate_hf.check_ctrl, fipgate_hf.check_fcs, fipgate_hf.check_pdu,
                                 fipgate_hf.check_len};
    for (int i = 0; i < 4; ++i) {
        proto_item_set_generated(
            proto_tree_add_uint(vtree, check_fields[i], tvb, off, frame_len, results[i]));
    }
    if (verdict != FIPGATE_VERDICT_OK) {
        /* The bad FCS is flagged above whichever check comes first; the others are named here. */
        if (verdict == FIPGATE_VERDICT_BAD_CONTROL) {
            expert_add_info_format(pinfo, vt, &fipgate_ei.bad_control,
                                   "Bad control byte: 0x%02x is none of the 20 frame control bytes",
                                   control);
        } else if (verdict == FIPGATE_VERDICT_BAD_PDU) {
            expert_add_info_format(
                pinfo, vt, &fipgate_ei.bad_pdu,
                "Bad PDU: type 0x%02x in a variable response, 0x40 or 0x50 expected", pdu_type);
        } else if (verdict == FIPGATE_VERDICT_BAD_LENGTH) {
            const int min = length_rules[kind].min;
            const int max = length_rules[kind].max;
            if (min == max) {
                expert_add_info_format(pinfo, vt, &fipgate_ei.bad_length,
                                       "Bad length: %s frame of %d bytes, %d expected", name,
                                       frame_len, min);
            } else {
                expert_add_info_format(pinfo, vt, &fipgate_ei.bad_length,
                                       "Bad length: %s frame of %d bytes, %d to %d expected", name,
                                       frame_len, min, max);
            }
        }
        expert_add_info_format(pinfo, vt, &fipgate_ei.check, "Gateway counts this frame as: %s",
                               verdict_name(verdict));
        proto_item_append_text(frame_item, " (%s, %s, %d bytes, %s)", name, fipgate_kind_name(kind),
                               frame_len, verdict_name(verdict));
    } else {
        proto_item_append_text(frame_item, " (%s, %s, %d bytes)", name, fipgate_kind_name(kind),
                               frame_len);
    }
    out->verdict = verdict;
    out->kind = kind;
    out->name = name;
    out->control = control;
    out->item = frame_item;
}
