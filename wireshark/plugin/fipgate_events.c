/* The walk over a datagram's events: capture records (with their frame, index continuity and
 * transactions) and lifesign records, each opened by its type and length so that the walk can
 * step over an event it does not know. */
#include "fipgate_events.h"

#include "fipgate_frame.h"

static const value_string event_types[] = {{FIPGATE_TYPE_CAPTURE, "capture record"},
                                           {FIPGATE_TYPE_LIFESIGN, "lifesign record"},
                                           {0, NULL}};

static const char* const outcome_names[] = {
    [FIPGATE_POLL_PENDING] = "pending",  [FIPGATE_POLL_RESPONSE] = "response",
    [FIPGATE_POLL_BAD] = "bad response", [FIPGATE_POLL_MISSING] = "no response",
    [FIPGATE_POLL_UNKNOWN] = "unknown",
};

static const char* const unknown_reasons[] = {
    [FIPGATE_UNKNOWN_LATE] = "datagram out of order",
    [FIPGATE_UNKNOWN_UNNUMBERED] = "unnumbered record",
    [FIPGATE_UNKNOWN_UNNUMBERED_FOLLOWS] = "unnumbered record follows",
    [FIPGATE_UNKNOWN_BREAK_FOLLOWS] = "record index break follows",
    [FIPGATE_UNKNOWN_RESTART_FOLLOWS] = "gateway restart follows",
};

/* A poll whose outcome is shown once the whole datagram is walked: a response later in it
 * settles the poll. */
typedef struct {
    proto_item* frame_item;
    int idx_off;
    guint slot;
    guint64 idx;
} shown_poll;

static void add_index_break(proto_item* idx_item, packet_info* pinfo, tvbuff_t* tvb, int idx_off,
                            guint64 idx, const fipgate_record_note* note) {
    proto_tree* tree = proto_item_add_subtree(idx_item, ett_fipgate_idx);
    proto_item_set_generated(
        proto_tree_add_uint64(tree, fipgate_hf.prev_idx, tvb, idx_off, 8, note->prev_idx));
    if (note->has_lost) {
        proto_item_set_generated(
            proto_tree_add_uint64(tree, fipgate_hf.lost_records, tvb, idx_off, 8, note->lost));
        expert_add_info_format(pinfo, idx_item, &fipgate_ei.index_break,
                               "Record index break: %" G_GUINT64_FORMAT
                               " record(s) missing between %" G_GUINT64_FORMAT
                               " and %" G_GUINT64_FORMAT,
                               note->lost, note->prev_idx, idx);
    } else {
        expert_add_info_format(pinfo, idx_item, &fipgate_ei.index_break,
                               "Record index break: %" G_GUINT64_FORMAT " after %" G_GUINT64_FORMAT,
                               idx, note->prev_idx);
    }
}

static void add_capture(proto_tree* tree, proto_item* event_item, packet_info* pinfo, tvbuff_t* tvb,
                        int off, int len, fipgate_summary* summary, fipgate_records* records,
                        wmem_array_t* shown) {
    if (len < FIPGATE_CAPTURE_HEADER_SIZE) {
        expert_add_info_format(pinfo, event_item, &fipgate_ei.malformed,
                               "Capture record of %d bytes is shorter than its %d-byte header", len,
                               FIPGATE_CAPTURE_HEADER_SIZE);
        if (len > FIPGATE_EVENT_HEADER_SIZE) {
            proto_tree_add_item(tree, fipgate_hf.event_data, tvb, off + FIPGATE_EVENT_HEADER_SIZE,
                                len - FIPGATE_EVENT_HEADER_SIZE, ENC_NA);
        }
        summary->malformed++;
        return;
    }
    proto_item* info = proto_tree_add_item(tree, fipgate_hf.fcs_info, tvb, off + 3, 1, ENC_NA);
    proto_tree_add_item(proto_item_add_subtree(info, ett_fipgate_fcs_info), fipgate_hf.fcs_type,
                        tvb, off + 3, 1, ENC_NA);
    const guint fcs_type = (tvb_get_guint8(tvb, off + 3) >> 3) & 0x3;
    proto_item* status = proto_tree_add_item(tree, fipgate_hf.status, tvb, off + 4, 1, ENC_NA);
    proto_tree* status_tree = proto_item_add_subtree(status, ett_fipgate_status);
    for (int bit = 0; bit < 8; ++bit) {
        proto_tree_add_item(status_tree, fipgate_hf.status_bit[bit], tvb, off + 4, 1, ENC_NA);
    }
    const int idx_off = off + 5;
    const guint64 idx = tvb_get_ntoh64(tvb, idx_off);
    proto_item* idx_item =
        proto_tree_add_item(tree, fipgate_hf.idx, tvb, idx_off, 8, ENC_BIG_ENDIAN);
    proto_tree_add_item(tree, fipgate_hf.reserved, tvb, off + FIPGATE_RESERVED_OFFSET,
                        FIPGATE_RESERVED_SIZE, ENC_NA);
    const int frame_len = len - FIPGATE_CAPTURE_HEADER_SIZE;
    fipgate_frame frame;
    fipgate_add_frame(tree, pinfo, tvb, off + FIPGATE_CAPTURE_HEADER_SIZE, frame_len, fcs_type,
                      &frame);
    summary->checks[frame.verdict]++;
    proto_item_append_text(event_item, ", idx %" G_GUINT64_FORMAT ", %s, %d-byte frame", idx,
                           frame.name, frame_len);

    const fipgate_record_note* note = fipgate_records_follow(
        records, idx, frame.kind, frame.verdict, frame.control, frame.identifier);
    if (!note) {
        return;
    }
    if (note->broken) {
        summary->index_breaks++;
        add_index_break(idx_item, pinfo, tvb, idx_off, idx, note);
    }
    if (note->note == 0 || !frame.item) {
        return;
    }
    if (note->note > 0) {
        const shown_poll poll = {frame.item, idx_off, (guint)note->note - 1, idx};
        wmem_array_append_one(shown, poll);
    } else {
        proto_tree* ft = proto_item_get_subtree(frame.item);
        const guint32 request = fipgate_records_number(records) + 1 + (guint32)note->note;
        proto_item_set_generated(
            proto_tree_add_uint(ft, fipgate_hf.request_in, tvb, idx_off, 8, request));
        proto_item_set_generated(
            proto_tree_add_uint64(ft, fipgate_hf.request_idx, tvb, idx_off, 8, idx - 1));
    }
}

/* What each poll of the datagram got. An open poll on the first pass may still be answered by
 * the next datagram: it shows nothing until a later pass (tshark -2, or Wireshark once loaded). */
static void add_poll_outcomes(packet_info* pinfo, tvbuff_t* tvb, fipgate_records* records,
                              wmem_array_t* shown) {
    const guint count = wmem_array_get_count(shown);
    for (guint i = 0; i < count; ++i) {
        const shown_poll* s = wmem_array_index(shown, i);
        const fipgate_poll poll = fipgate_records_poll(records, s->slot);
        if (poll.outcome == FIPGATE_POLL_PENDING && !PINFO_FD_VISITED(pinfo)) {
            continue;
        }
        proto_tree* ft = proto_item_get_subtree(s->frame_item);
        proto_item* r = proto_tree_add_string(ft, fipgate_hf.response, tvb, s->idx_off, 8,
                                              outcome_names[poll.outcome]);
        proto_item_set_generated(r);
        if (poll.outcome == FIPGATE_POLL_RESPONSE || poll.outcome == FIPGATE_POLL_BAD) {
            proto_tree* rt = proto_item_add_subtree(r, ett_fipgate_response);
            const char* name = fipgate_frame_name(poll.control);
            const guint32 frame = fipgate_records_number(records) + poll.frames;
            const guint64 response_idx = s->idx + 1;
            proto_item_set_generated(
                proto_tree_add_uint(rt, fipgate_hf.response_in, tvb, s->idx_off, 8, frame));
            proto_item_set_generated(proto_tree_add_uint64(rt, fipgate_hf.response_idx, tvb,
                                                           s->idx_off, 8, response_idx));
            proto_item_set_generated(
                proto_tree_add_string(rt, fipgate_hf.response_name, tvb, s->idx_off, 8, name));
            if (poll.outcome == FIPGATE_POLL_BAD) {
                proto_item_append_text(r, " (%s, record %" G_GUINT64_FORMAT " in frame %u, %s)",
                                       name, response_idx, frame,
                                       val_to_str_const(poll.detail, fipgate_verdict_names, "?"));
            } else {
                proto_item_append_text(r, " (%s, record %" G_GUINT64_FORMAT " in frame %u)", name,
                                       response_idx, frame);
            }
            continue;
        }
        const char* reason = "nothing follows in the capture";
        if (poll.outcome == FIPGATE_POLL_UNKNOWN) {
            reason = poll.detail < G_N_ELEMENTS(unknown_reasons) && unknown_reasons[poll.detail]
                         ? unknown_reasons[poll.detail]
                         : "?";
        } else if (poll.outcome == FIPGATE_POLL_MISSING) {
            reason =
                wmem_strdup_printf(pinfo->pool, "%s follows", fipgate_frame_name(poll.control));
        }
        proto_item_append_text(r, " (%s)", reason);
        if (poll.outcome == FIPGATE_POLL_MISSING) {
            proto_tree* rt = proto_item_add_subtree(r, ett_fipgate_response);
            proto_item* unanswered =
                proto_tree_add_uint(rt, fipgate_hf.unanswered, tvb, s->idx_off, 8, poll.identifier);
            proto_item_set_text(unanswered, "Identifier with no response: 0x%04X", poll.identifier);
            proto_item_set_generated(unanswered);
            expert_add_info_format(pinfo, r, &fipgate_ei.no_response,
                                   "No response to identifier 0x%04X (%s)", poll.identifier,
                                   reason);
        }
    }
}

static void add_lifesign_event(proto_tree* et, proto_item* event_item, packet_info* pinfo,
                               tvbuff_t* tvb, int off, int len, fipgate_summary* summary) {
    summary->lifesigns++;
    if (len < FIPGATE_LIFESIGN_SIZE) {
        expert_add_info_format(pinfo, event_item, &fipgate_ei.malformed,
                               "Lifesign record of %d bytes, shorter than its %d", len,
                               FIPGATE_LIFESIGN_SIZE);
        summary->malformed++;
    }
    fipgate_add_lifesign(et, tvb, off, len);
    if (len > FIPGATE_LIFESIGN_SIZE) {
        /* Fields a newer gateway appended: skipped and counted, never malformed. */
        proto_item* extra =
            proto_tree_add_item(et, fipgate_hf.ls_extra, tvb, off + FIPGATE_LIFESIGN_SIZE,
                                len - FIPGATE_LIFESIGN_SIZE, ENC_NA);
        expert_add_info_format(pinfo, extra, &fipgate_ei.lifesign_extra,
                               "Lifesign record of %d bytes: %d bytes after the known fields "
                               "skipped",
                               len, len - FIPGATE_LIFESIGN_SIZE);
    }
    if (len >= 11) {
        proto_item_append_text(event_item, ", counter %" G_GUINT64_FORMAT,
                               tvb_get_ntoh64(tvb, off + 3));
    }
}

void fipgate_dissect_events(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree,
                            fipgate_records* records, fipgate_summary* summary) {
    const int total = (int)tvb_reported_length(tvb);
    wmem_array_t* shown = wmem_array_new(pinfo->pool, sizeof(shown_poll));
    int off = FIPGATE_HEADER_SIZE;
    while (off < total) {
        const guint n = summary->walked + 1;
        if (total - off < FIPGATE_EVENT_HEADER_SIZE) {
            proto_item* item = proto_tree_add_item(tree, fipgate_hf.trailing, tvb, off, -1, ENC_NA);
            expert_add_info_format(pinfo, item, &fipgate_ei.malformed,
                                   "Event %u: %d bytes left, too few for a type and a length", n,
                                   total - off);
            summary->malformed++;
            break;
        }
        const guint8 etype = tvb_get_guint8(tvb, off);
        const int len = tvb_get_ntohs(tvb, off + 1);
        if (len < FIPGATE_EVENT_HEADER_SIZE) {
            proto_item* et = proto_tree_add_none_format(tree, fipgate_hf.event, tvb, off, -1,
                                                        "Event %u: length %d", n, len);
            proto_tree* sub = proto_item_add_subtree(et, ett_fipgate_event);
            proto_tree_add_item(sub, fipgate_hf.type, tvb, off, 1, ENC_NA);
            proto_tree_add_item(sub, fipgate_hf.length, tvb, off + 1, 2, ENC_BIG_ENDIAN);
            expert_add_info_format(
                pinfo, et, &fipgate_ei.malformed,
                "Event %u: length %d is below 3, the events after it cannot be found", n, len);
            summary->malformed++;
            break;
        }
        const gboolean past_end = off + len > total;
        const int avail = past_end ? total - off : len;
        const char* type_name = try_val_to_str(etype, event_types);
        proto_item* et;
        if (type_name) {
            et = proto_tree_add_none_format(tree, fipgate_hf.event, tvb, off, avail, "Event %u: %s",
                                            n, type_name);
        } else {
            et = proto_tree_add_none_format(tree, fipgate_hf.event, tvb, off, avail,
                                            "Event %u: unknown type 0x%02x", n, etype);
        }
        proto_tree* sub = proto_item_add_subtree(et, ett_fipgate_event);
        proto_tree_add_item(sub, fipgate_hf.type, tvb, off, 1, ENC_NA);
        proto_tree_add_item(sub, fipgate_hf.length, tvb, off + 1, 2, ENC_BIG_ENDIAN);
        summary->walked = n;
        if (past_end) {
            expert_add_info_format(pinfo, et, &fipgate_ei.malformed,
                                   "Event %u: length %d runs %d bytes past the end of the datagram",
                                   n, len, off + len - total);
            proto_tree_add_item(sub, fipgate_hf.event_data, tvb, off + FIPGATE_EVENT_HEADER_SIZE,
                                avail - FIPGATE_EVENT_HEADER_SIZE, ENC_NA);
            summary->malformed++;
            break;
        }
        if (etype == FIPGATE_TYPE_CAPTURE) {
            summary->captures++;
            add_capture(sub, et, pinfo, tvb, off, len, summary, records, shown);
        } else if (etype == FIPGATE_TYPE_LIFESIGN) {
            add_lifesign_event(sub, et, pinfo, tvb, off, len, summary);
        } else {
            /* Every event opens with its length, so the walk can step over an unknown one. */
            expert_add_info_format(pinfo, et, &fipgate_ei.malformed,
                                   "Event %u: unknown type 0x%02x", n, etype);
            if (len > FIPGATE_EVENT_HEADER_SIZE) {
                proto_tree_add_item(sub, fipgate_hf.event_data, tvb,
                                    off + FIPGATE_EVENT_HEADER_SIZE,
                                    len - FIPGATE_EVENT_HEADER_SIZE, ENC_NA);
            }
            summary->malformed++;
        }
        off += len;
    }
    add_poll_outcomes(pinfo, tvb, records, shown);
}
