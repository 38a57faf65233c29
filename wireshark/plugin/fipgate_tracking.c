/* Sequence tracking, record index continuity and transactions. The first pass walks the frames in
 * order and remembers, per packet, what the sequence number meant and what each capture record
 * made or answered; later passes (and the GUI's random access) only read that back.
 *
 * The first pass follows the capture records of each gateway run in index order: a record whose
 * index is not the previous one + 1 breaks the sequence, and an identifier frame that passes the
 * four checks (a poll) is paired with the next record of the same run. Another identifier frame
 * there means the producer was silent; any other frame is its response, bad when it fails a check.
 * A poll is never paired across an index break, an unnumbered record, a late datagram or a gateway
 * restart: its outcome is unknown, never counted as a silent station. A poll with nothing after it
 * up to the end of the capture stays pending. */
#include <epan/to_str.h>

#include "fipgate.h"

#define MAX_FRAMES (1U << 22) /* a larger distance between poll and answer is shown as this one */

typedef struct {
    fipgate_seq_verdict verdict;
    char* prev_stream; /* the run a restart replaces, when it came from another socket */
} seq_entry;

/* The records of one gateway run, as the first pass has followed them so far. */
typedef struct {
    guint64 prev_idx;
    gboolean idx_known;
    gboolean pending; /* a poll waits for the next record */
    guint32 pending_packet;
    guint pending_slot;
} record_track;

struct fipgate_records {
    guint32 number;
    guint count; /* capture records seen so far in this datagram */
    gboolean first_pass;
    gboolean duplicate;  /* its records were followed the first time */
    record_track* track; /* NULL when its records are not followed */
    fipgate_packet_notes* notes;
};

/* Kept until the next file is opened, not freed with the file: the statistics read the polls
 * when they print, after the last packet. */
static GHashTable* seq_verdicts;           /* packet number -> seq_entry */
static GHashTable* last_seq_by_stream;     /* stream key -> guint64 */
static GHashTable* last_stream_by_address; /* address key -> stream key */
static GHashTable* record_tracks;          /* stream key -> record_track */
static GHashTable* packet_notes;           /* packet number -> fipgate_packet_notes */

static void free_seq_entry(gpointer p) {
    seq_entry* e = p;
    g_free(e->prev_stream);
    g_free(e);
}

static void free_packet_notes(gpointer p) {
    fipgate_packet_notes* n = p;
    g_array_free(n->records, TRUE);
    g_array_free(n->polls, TRUE);
    g_free(n);
}

void fipgate_tracking_free(void) {
    g_clear_pointer(&seq_verdicts, g_hash_table_destroy);
    g_clear_pointer(&last_seq_by_stream, g_hash_table_destroy);
    g_clear_pointer(&last_stream_by_address, g_hash_table_destroy);
    g_clear_pointer(&record_tracks, g_hash_table_destroy);
    g_clear_pointer(&packet_notes, g_hash_table_destroy);
}

void fipgate_tracking_init(void) {
    fipgate_tracking_free();
    seq_verdicts = g_hash_table_new_full(g_direct_hash, g_direct_equal, NULL, free_seq_entry);
    last_seq_by_stream = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    last_stream_by_address = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    record_tracks = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    packet_notes = g_hash_table_new_full(g_direct_hash, g_direct_equal, NULL, free_packet_notes);
}

/* The sender's address and port name one gateway run. A reload opens a new socket, so its first
 * datagram carries 1 from a new port of a known address: a restart, not a new gateway. */
static char* stream_key(packet_info* pinfo) {
    char* address = address_to_str(NULL, &pinfo->src);
    char* key = g_strdup_printf("%s:%u>%u", address, pinfo->srcport, pinfo->destport);
    wmem_free(NULL, address);
    return key;
}

static char* address_key(packet_info* pinfo) {
    char* address = address_to_str(NULL, &pinfo->src);
    char* key = g_strdup_printf("%s>%u", address, pinfo->destport);
    wmem_free(NULL, address);
    return key;
}

static const seq_entry* judge(packet_info* pinfo, guint64 seq) {
    const gpointer number = GUINT_TO_POINTER(pinfo->num);
    seq_entry* entry = g_hash_table_lookup(seq_verdicts, number);
    if (entry) {
        return entry;
    }
    entry = g_new0(seq_entry, 1);
    char* key = stream_key(pinfo);
    char* address = address_key(pinfo);
    const char* previous_stream = g_hash_table_lookup(last_stream_by_address, address);
    char* previous_copy = g_strdup(previous_stream);
    g_hash_table_replace(last_stream_by_address, address, g_strdup(key));
    guint64* prev = g_hash_table_lookup(last_seq_by_stream, key);
    fipgate_seq_verdict* v = &entry->verdict;
    gboolean store = TRUE;
    if (prev) {
        v->has_prev = TRUE;
        v->prev = *prev;
    }
    if (!prev) {
        v->kind = FIPGATE_SEQ_FIRST;
        if (previous_copy && seq == 1) {
            guint64* before = g_hash_table_lookup(last_seq_by_stream, previous_copy);
            v->kind = FIPGATE_SEQ_RESTART;
            v->has_prev = before != NULL;
            v->prev = before ? *before : 0;
            entry->prev_stream = g_steal_pointer(&previous_copy);
        }
    } else if (seq == *prev + 1) {
        v->kind = FIPGATE_SEQ_NEXT;
    } else if (seq == 1) {
        v->kind = FIPGATE_SEQ_RESTART;
    } else if (seq > *prev) {
        v->kind = FIPGATE_SEQ_GAP;
        v->lost = seq - *prev - 1;
    } else if (seq == *prev) {
        v->kind = FIPGATE_SEQ_DUPLICATE;
        store = FALSE;
    } else {
        /* A late datagram was already counted as lost by the gap before it; the highest number
         * seen stays the reference so that the datagrams after it are not flagged too. */
        v->kind = FIPGATE_SEQ_REORDERED;
        store = FALSE;
    }
    if (store) {
        guint64* value = g_new(guint64, 1);
        *value = seq;
        g_hash_table_replace(last_seq_by_stream, key, value);
    } else {
        g_free(key);
    }
    g_free(previous_copy);
    g_hash_table_insert(seq_verdicts, number, entry);
    return entry;
}

fipgate_seq_verdict fipgate_judge_sequence(packet_info* pinfo, guint64 seq) {
    return judge(pinfo, seq)->verdict;
}

static fipgate_poll* poll_at(guint32 packet, guint slot) {
    fipgate_packet_notes* notes = g_hash_table_lookup(packet_notes, GUINT_TO_POINTER(packet));
    return &g_array_index(notes->polls, fipgate_poll, slot);
}

/* Settles the poll a track still waits for. */
static void settle(record_track* track, fipgate_outcome outcome, guint detail, guint8 control,
                   guint32 number) {
    if (!track->pending) {
        return;
    }
    fipgate_poll* poll = poll_at(track->pending_packet, track->pending_slot);
    poll->outcome = (guint8)outcome;
    poll->detail = (guint8)detail;
    poll->control = control;
    poll->frames = MIN(number - track->pending_packet, MAX_FRAMES);
    track->pending = FALSE;
}

/* The record track of this datagram's gateway run, or NULL when its records are not followed:
 * a duplicate's were followed the first time, and a late datagram's belong before records
 * already followed. */
static record_track* records_track(packet_info* pinfo, guint64 seq, const seq_entry* entry) {
    const fipgate_seq_kind kind = entry->verdict.kind;
    if (kind == FIPGATE_SEQ_DUPLICATE || kind == FIPGATE_SEQ_REORDERED) {
        return NULL;
    }
    char* key = stream_key(pinfo);
    record_track* track = g_hash_table_lookup(record_tracks, key);
    if (kind == FIPGATE_SEQ_RESTART) {
        if (track) {
            settle(track, FIPGATE_POLL_UNKNOWN, FIPGATE_UNKNOWN_RESTART_FOLLOWS, 0, pinfo->num);
        }
        record_track* old =
            entry->prev_stream ? g_hash_table_lookup(record_tracks, entry->prev_stream) : NULL;
        if (old) {
            settle(old, FIPGATE_POLL_UNKNOWN, FIPGATE_UNKNOWN_RESTART_FOLLOWS, 0, pinfo->num);
        }
        track = NULL;
    }
    if (!track) {
        /* A gateway numbers its records from 1 at each start; joining a running stream, the
         * first record seen becomes the reference. */
        track = g_new0(record_track, 1);
        track->idx_known = seq == 1;
        g_hash_table_replace(record_tracks, g_steal_pointer(&key), track);
    }
    g_free(key);
    return track;
}

fipgate_records* fipgate_records_begin(packet_info* pinfo, guint64 seq) {
    fipgate_records* records = wmem_new0(pinfo->pool, fipgate_records);
    records->number = pinfo->num;
    records->notes = g_hash_table_lookup(packet_notes, GUINT_TO_POINTER(pinfo->num));
    if (!records->notes) {
        records->first_pass = TRUE;
        records->notes = g_new0(fipgate_packet_notes, 1);
        records->notes->records = g_array_new(FALSE, TRUE, sizeof(fipgate_record_note));
        records->notes->polls = g_array_new(FALSE, TRUE, sizeof(fipgate_poll));
        g_hash_table_insert(packet_notes, GUINT_TO_POINTER(pinfo->num), records->notes);
        const seq_entry* entry = judge(pinfo, seq);
        records->track = records_track(pinfo, seq, entry);
        records->duplicate = entry->verdict.kind == FIPGATE_SEQ_DUPLICATE;
    }
    return records;
}

/* Adds a poll to the datagram's list; returns its note. */
static gint32 add_poll(fipgate_records* records, guint16 identifier, fipgate_outcome outcome,
                       guint detail) {
    const fipgate_poll poll = {identifier, (guint8)outcome, (guint8)detail, 0, 0};
    g_array_append_val(records->notes->polls, poll);
    return (gint32)records->notes->polls->len;
}

static fipgate_record_note follow(fipgate_records* records, guint64 idx, fipgate_kind kind,
                                  fipgate_verdict verdict, guint8 control, guint16 identifier) {
    fipgate_record_note note = {0, FALSE, FALSE, 0, 0};
    record_track* track = records->track;
    const gboolean is_poll = kind == FIPGATE_KIND_IDENTIFIER && verdict == FIPGATE_VERDICT_OK;
    if (records->duplicate) {
        return note;
    }
    if (!track) {
        if (is_poll) {
            note.note = add_poll(records, identifier, FIPGATE_POLL_UNKNOWN, FIPGATE_UNKNOWN_LATE);
        }
        return note;
    }
    const guint32 number = records->number;
    if (idx == 0) {
        settle(track, FIPGATE_POLL_UNKNOWN, FIPGATE_UNKNOWN_UNNUMBERED_FOLLOWS, 0, number);
        if (is_poll) {
            note.note =
                add_poll(records, identifier, FIPGATE_POLL_UNKNOWN, FIPGATE_UNKNOWN_UNNUMBERED);
        }
        return note;
    }
    if (track->idx_known && idx != track->prev_idx + 1) {
        note.broken = TRUE;
        note.prev_idx = track->prev_idx;
        if (idx > track->prev_idx) {
            note.has_lost = TRUE;
            note.lost = idx - track->prev_idx - 1;
        }
        settle(track, FIPGATE_POLL_UNKNOWN, FIPGATE_UNKNOWN_BREAK_FOLLOWS, 0, number);
    }
    track->prev_idx = idx;
    track->idx_known = TRUE;
    if (kind == FIPGATE_KIND_IDENTIFIER) {
        settle(track, FIPGATE_POLL_MISSING, 0, control, number);
        if (is_poll) {
            note.note = add_poll(records, identifier, FIPGATE_POLL_PENDING, 0);
            track->pending = TRUE;
            track->pending_packet = number;
            track->pending_slot = (guint)note.note - 1;
        }
    } else if (track->pending) {
        note.note = -1 - (gint32)(number - track->pending_packet);
        settle(track, verdict == FIPGATE_VERDICT_OK ? FIPGATE_POLL_RESPONSE : FIPGATE_POLL_BAD,
               verdict, control, number);
    }
    return note;
}

const fipgate_record_note* fipgate_records_follow(fipgate_records* records, guint64 idx,
                                                  fipgate_kind kind, fipgate_verdict verdict,
                                                  guint8 control, guint16 identifier) {
    GArray* notes = records->notes->records;
    const guint count = records->count++;
    if (records->first_pass) {
        const fipgate_record_note note = follow(records, idx, kind, verdict, control, identifier);
        g_array_append_val(notes, note);
    }
    /* A datagram dissected again holds the same records: a shorter list means other bytes. */
    return count < notes->len ? &g_array_index(notes, fipgate_record_note, count) : NULL;
}

fipgate_poll fipgate_records_poll(const fipgate_records* records, guint slot) {
    return g_array_index(records->notes->polls, fipgate_poll, slot);
}

guint32 fipgate_records_number(const fipgate_records* records) {
    return records->number;
}

const GArray* fipgate_polls_of(guint32 number) {
    if (!packet_notes) {
        return NULL;
    }
    const fipgate_packet_notes* notes = g_hash_table_lookup(packet_notes, GUINT_TO_POINTER(number));
    return notes && notes->polls->len > 0 ? notes->polls : NULL;
}
