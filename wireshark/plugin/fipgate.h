/* The fipgate stream dissector's shared declarations: the layout of the datagrams, the field and
 * expert handles every part adds items with, and the first-pass notes the tracking keeps per
 * datagram. The Lua dissector wireshark/fipgate.lua registers the same protocol, field for field,
 * for the Wireshark versions this plugin is not built for. */
#ifndef FIPGATE_PLUGIN_FIPGATE_H
#define FIPGATE_PLUGIN_FIPGATE_H

#include <epan/expert.h>
#include <epan/packet.h>
#include <glib.h>

#define FIPGATE_DEFAULT_PORT 57117 /* UDP port the gateway broadcasts to unless configured */

#define FIPGATE_HEADER_SIZE 16         /* bytes before the first event */
#define FIPGATE_EVENT_HEADER_SIZE 3    /* type byte and 16-bit length that open every event */
#define FIPGATE_CAPTURE_HEADER_SIZE 30 /* bytes of a capture record before its frame */
#define FIPGATE_RESERVED_OFFSET 13     /* header bytes the gateway forwards without reading... */
#define FIPGATE_RESERVED_SIZE 17       /* ...and how many */
/* Bytes of the lifesign fields known here. A newer gateway may append fields: a longer lifesign is
 * decoded by these and the rest shown as bytes, so that a new field never makes it malformed. */
#define FIPGATE_LIFESIGN_SIZE 323
#define FIPGATE_FCS_SIZE 2 /* bytes of FCS closing every frame */

#define FIPGATE_TYPE_CAPTURE 0xC0
#define FIPGATE_TYPE_LIFESIGN 0xC1

/* Frame kinds, by control byte, the same ones the gateway counts its frame errors by. */
typedef enum {
    FIPGATE_KIND_UNKNOWN,
    FIPGATE_KIND_IDENTIFIER,
    FIPGATE_KIND_VARIABLE_RESPONSE,
    FIPGATE_KIND_REQUEST_LIST,
    FIPGATE_KIND_MESSAGE,
    FIPGATE_KIND_ACK_END
} fipgate_kind;

/* The gateway's verdict on a frame: the first of its four checks the frame fails. */
typedef enum {
    FIPGATE_VERDICT_OK = 0,
    FIPGATE_VERDICT_BAD_CONTROL = 1,
    FIPGATE_VERDICT_BAD_FCS = 2,
    FIPGATE_VERDICT_BAD_PDU = 3,
    FIPGATE_VERDICT_BAD_LENGTH = 4,
    FIPGATE_VERDICT_EMPTY = 5,
    FIPGATE_VERDICT_COUNT = 6
} fipgate_verdict;

/* What a poll (an identifier frame passing the four checks) got. */
typedef enum {
    FIPGATE_POLL_PENDING,  /* nothing after it yet: the capture may still answer it */
    FIPGATE_POLL_RESPONSE, /* the next record of its run, passing the checks */
    FIPGATE_POLL_BAD,      /* the next record, failing a check (the detail) */
    FIPGATE_POLL_MISSING,  /* another identifier frame came next: the producer was silent */
    FIPGATE_POLL_UNKNOWN   /* something hides the answer (the detail says what) */
} fipgate_outcome;

/* Why a poll's outcome is unknown. */
typedef enum {
    FIPGATE_UNKNOWN_LATE = 1,
    FIPGATE_UNKNOWN_UNNUMBERED,
    FIPGATE_UNKNOWN_UNNUMBERED_FOLLOWS,
    FIPGATE_UNKNOWN_BREAK_FOLLOWS,
    FIPGATE_UNKNOWN_RESTART_FOLLOWS
} fipgate_unknown_reason;

typedef struct {
    guint16 identifier;
    guint8 outcome; /* fipgate_outcome */
    guint8 detail;  /* the failed check of a bad response, the reason of an unknown outcome */
    guint8 control; /* control byte of the record after the poll */
    guint32 frames; /* how many packets after the poll's that record came */
} fipgate_poll;

/* The first pass's conclusions about one capture record, read back by every later pass. */
typedef struct {
    gint32 note;     /* > 0: place + 1 of the poll it makes; < 0: -1 - packets back to its poll */
    gboolean broken; /* its index breaks the run's sequence */
    gboolean has_lost;
    guint64 prev_idx;
    guint64 lost; /* records missing before it, when the index went forward */
} fipgate_record_note;

/* Everything the first pass keeps about one datagram, by packet number. */
typedef struct {
    GArray* records; /* fipgate_record_note per capture record, in datagram order */
    GArray* polls;   /* fipgate_poll, settled in place as later records answer them */
} fipgate_packet_notes;

/* How a datagram's sequence number relates to the stream before it. */
typedef enum {
    FIPGATE_SEQ_FIRST = 1,
    FIPGATE_SEQ_NEXT,
    FIPGATE_SEQ_GAP,
    FIPGATE_SEQ_RESTART,
    FIPGATE_SEQ_DUPLICATE,
    FIPGATE_SEQ_REORDERED
} fipgate_seq_kind;

typedef struct {
    fipgate_seq_kind kind;
    gboolean has_prev;
    guint64 prev; /* the sequence number it is judged against */
    guint64 lost; /* datagrams lost before a gap */
} fipgate_seq_verdict;

/* The fields, one per Lua ProtoField, and the lifesign's by their place in its table. */
typedef struct {
    int magic, version, seq, count, walked, lost, prev_seq;
    int event, type, length;
    int fcs_info, fcs_type, status, status_bit[8], idx, prev_idx, lost_records, reserved;
    int frame, control, name, kind, identifier, pdu_type, data, frame_len, fcs, fcs_computed,
        fcs_good;
    int verdict, check_ctrl, check_fcs, check_pdu, check_len;
    int response, response_in, response_idx, response_name, unanswered, request_in, request_idx;
    int event_data, ls_extra, trailing;
} fipgate_fields;

typedef struct {
    expert_field bad_magic, short_datagram, gap, restart, duplicate, reordered, malformed, count,
        bad_fcs, bad_control, bad_pdu, bad_length, check, index_break, no_response, lifesign_extra;
} fipgate_experts;

extern int proto_fipgate;
extern fipgate_fields fipgate_hf;
extern fipgate_experts fipgate_ei;
extern gint ett_fipgate, ett_fipgate_event, ett_fipgate_frame, ett_fipgate_check,
    ett_fipgate_status, ett_fipgate_fcs_info, ett_fipgate_response, ett_fipgate_group,
    ett_fipgate_idx;

extern const value_string fipgate_verdict_names[];
const char* fipgate_frame_name(guint8 control);

/* fipgate_lifesign.c */
void fipgate_register_lifesign_fields(int proto);
/* Adds the lifesign fields that fit `len` bytes of the record at `off`. */
void fipgate_add_lifesign(proto_tree* tree, tvbuff_t* tvb, int off, int len);

/* fipgate_fcs.c: the FCS of `count` bytes from `off`, or FALSE when `fcs_type` names no
 * algorithm. */
gboolean fipgate_fcs(guint fcs_type, tvbuff_t* tvb, int off, int count, guint16* fcs,
                     const char** algorithm);

/* fipgate_tracking.c: state of the first pass, reset with each file. */
void fipgate_tracking_init(void);
void fipgate_tracking_free(void);
fipgate_seq_verdict fipgate_judge_sequence(packet_info* pinfo, guint64 seq);

/* The per-datagram context the capture records are followed in. */
typedef struct fipgate_records fipgate_records;
fipgate_records* fipgate_records_begin(packet_info* pinfo, guint64 seq);
/* The note of the next capture record: made on the first pass, read back on the others. */
const fipgate_record_note* fipgate_records_follow(fipgate_records* records, guint64 idx,
                                                  fipgate_kind kind, fipgate_verdict verdict,
                                                  guint8 control, guint16 identifier);
/* The datagram's poll at `slot` (a positive note - 1). */
fipgate_poll fipgate_records_poll(const fipgate_records* records, guint slot);
guint32 fipgate_records_number(const fipgate_records* records);
/* The polls of datagram `number` (NULL when it has none), for the statistics. */
const GArray* fipgate_polls_of(guint32 number);

/* fipgate_stats.c */
extern int fipgate_tap;
void fipgate_register_stats(void);

/* The dissector for the fipgate handle, the heuristic and the tests' entry. */
int fipgate_dissect(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree, void* data);

#endif
