/* Statistics: polls per identifier and what they got. tshark runs it with -z fipgate,ids[,filter]
 * and prints the table at the end; Wireshark shows it under Statistics > FIP gateway. */
#include <epan/funnel.h>
#include <epan/stat_tap_ui.h>
#include <epan/tap.h>
#include <stdio.h>

#include "fipgate.h"

#define STAT_NAME "fipgate,ids"

int fipgate_tap = -1;

enum { POLLS, RESPONSES, MISSING, BAD, UNKNOWN, BAD_CTRL, BAD_FCS, BAD_PDU, BAD_LEN, COLUMNS };
static const char* const column_names[COLUMNS] = {
    "Polls", "Responses", "Missing", "Bad", "Unknown", "Bad ctrl", "Bad FCS", "Bad PDU", "Bad len"};

typedef struct {
    guint16 identifier;
    guint64 counts[COLUMNS];
} identifier_row;

typedef struct {
    char* filter;    /* the user's, NULL for none */
    GArray* packets; /* numbers of the packets tapped that hold polls */
    void (*show)(void* window, const char* text);
    void* window;
} identifier_stats;

/* Sick identifiers first (most missing and bad responses), then the busiest. */
static gint compare_rows(gconstpointer a, gconstpointer b) {
    const identifier_row* ra = a;
    const identifier_row* rb = b;
    const guint64 sick_a = ra->counts[MISSING] + ra->counts[BAD];
    const guint64 sick_b = rb->counts[MISSING] + rb->counts[BAD];
    if (sick_a != sick_b) {
        return sick_a > sick_b ? -1 : 1;
    }
    if (ra->counts[POLLS] != rb->counts[POLLS]) {
        return ra->counts[POLLS] > rb->counts[POLLS] ? -1 : 1;
    }
    return (gint)ra->identifier - (gint)rb->identifier;
}

/* The polls of the packets tapped are read when the table is drawn: later packets settle them. */
static GArray* identifier_rows(const identifier_stats* stats) {
    GArray* rows = g_array_new(FALSE, TRUE, sizeof(identifier_row));
    gint row_of[65536];
    for (guint i = 0; i < G_N_ELEMENTS(row_of); ++i) {
        row_of[i] = -1;
    }
    for (guint p = 0; p < stats->packets->len; ++p) {
        const GArray* polls = fipgate_polls_of(g_array_index(stats->packets, guint32, p));
        for (guint i = 0; polls && i < polls->len; ++i) {
            const fipgate_poll* poll = &g_array_index(polls, fipgate_poll, i);
            if (row_of[poll->identifier] < 0) {
                identifier_row row;
                memset(&row, 0, sizeof row);
                row.identifier = poll->identifier;
                row_of[poll->identifier] = (gint)rows->len;
                g_array_append_val(rows, row);
            }
            guint64* counts = g_array_index(rows, identifier_row, row_of[poll->identifier]).counts;
            counts[POLLS]++;
            switch (poll->outcome) {
            case FIPGATE_POLL_RESPONSE:
                counts[RESPONSES]++;
                break;
            case FIPGATE_POLL_MISSING:
                counts[MISSING]++;
                break;
            case FIPGATE_POLL_PENDING:
                /* counted as a poll only: the capture ended before its answer could come */
                break;
            case FIPGATE_POLL_BAD:
                /* A bad answer is an answer all the same: the station spoke, the bus spoilt it. */
                counts[RESPONSES]++;
                counts[BAD]++;
                if (poll->detail >= FIPGATE_VERDICT_BAD_CONTROL &&
                    poll->detail <= FIPGATE_VERDICT_BAD_LENGTH) {
                    counts[BAD_CTRL + poll->detail - 1]++;
                }
                break;
            default:
                counts[UNKNOWN]++;
                break;
            }
        }
    }
    g_array_sort(rows, compare_rows);
    return rows;
}

static char* identifier_report(const identifier_stats* stats) {
    GArray* rows = identifier_rows(stats);
    GString* out = g_string_new(NULL);
    const int rule_width = 10 + 11 * COLUMNS;
    for (int i = 0; i < rule_width; ++i) {
        g_string_append_c(out, '=');
    }
    g_string_append_printf(out, "\nFIP identifiers (" STAT_NAME ")\nFilter: %s\n",
                           stats->filter ? stats->filter : "none");
    g_string_append(
        out,
        "Polls: identifier frames passing the four checks. Responses: every frame that answers a\n"
        "poll, bad ones included. Missing: polls followed by another identifier frame. Bad: the\n"
        "responses that fail a check, by the first one failed. Unknown: polls whose answer an\n"
        "index break, restart or late datagram hides. Polls = responses + missing + unknown, but\n"
        "for a last poll with nothing after it in the capture (pending: counted as a poll only).\n"
        "\n");
    g_string_append_printf(out, "%-10s", "Identifier");
    for (int c = 0; c < COLUMNS; ++c) {
        g_string_append_printf(out, " %10s", column_names[c]);
    }
    g_string_append_c(out, '\n');
    guint64 total[COLUMNS] = {0};
    for (guint r = 0; r < rows->len; ++r) {
        const identifier_row* row = &g_array_index(rows, identifier_row, r);
        g_string_append_printf(out, "0x%04X    ", row->identifier);
        for (int c = 0; c < COLUMNS; ++c) {
            g_string_append_printf(out, " %10" G_GUINT64_FORMAT, row->counts[c]);
            total[c] += row->counts[c];
        }
        g_string_append_c(out, '\n');
    }
    g_string_append_printf(out, "%-10s", "Total");
    for (int c = 0; c < COLUMNS; ++c) {
        g_string_append_printf(out, " %10" G_GUINT64_FORMAT, total[c]);
    }
    g_string_append_c(out, '\n');
    for (int i = 0; i < rule_width; ++i) {
        g_string_append_c(out, '=');
    }
    g_array_free(rows, TRUE);
    return g_string_free(out, FALSE);
}

static void stats_reset(void* data) {
    identifier_stats* stats = data;
    g_array_set_size(stats->packets, 0);
}

static tap_packet_status stats_packet(void* data, packet_info* pinfo, epan_dissect_t* edt _U_,
                                      const void* tap_data _U_, tap_flags_t flags _U_) {
    identifier_stats* stats = data;
    if (!fipgate_polls_of(pinfo->num)) {
        return TAP_PACKET_DONT_REDRAW;
    }
    g_array_append_val(stats->packets, pinfo->num);
    return TAP_PACKET_REDRAW;
}

static void stats_draw(void* data) {
    identifier_stats* stats = data;
    char* text = identifier_report(stats);
    stats->show(stats->window, text);
    g_free(text);
}

static void stats_finish(void* data) {
    identifier_stats* stats = data;
    g_array_free(stats->packets, TRUE);
    g_free(stats->filter);
    g_free(stats);
}

/* A listener over the fipgate datagrams that pass `filter` (every one without a filter). */
static identifier_stats* start_identifier_stats(const char* filter,
                                                void (*show)(void*, const char*), void* window,
                                                GString** error) {
    identifier_stats* stats = g_new0(identifier_stats, 1);
    stats->filter = g_strdup(filter);
    stats->packets = g_array_new(FALSE, FALSE, sizeof(guint32));
    stats->show = show;
    stats->window = window;
    *error = register_tap_listener("fipgate", stats, filter, TL_REQUIRES_NOTHING, stats_reset,
                                   stats_packet, stats_draw, stats_finish);
    if (*error) {
        stats_finish(stats);
        return NULL;
    }
    return stats;
}

static void print_report(void* window _U_, const char* text) {
    printf("%s\n", text);
}

static void stats_cli_init(const char* opt_arg, void* userdata _U_) {
    const char* filter = NULL;
    if (strncmp(opt_arg, STAT_NAME ",", strlen(STAT_NAME ",")) == 0 &&
        opt_arg[strlen(STAT_NAME ",")] != '\0') {
        filter = opt_arg + strlen(STAT_NAME ",");
    }
    GString* error = NULL;
    if (!start_identifier_stats(filter, print_report, NULL, &error)) {
        fprintf(stderr, "tshark: -z " STAT_NAME ": the filter \"%s\" is not valid: %s\n",
                filter ? filter : "", error->str);
        g_string_free(error, TRUE);
        exit(1);
    }
}

static void set_window_text(void* window, const char* text) {
    const funnel_ops_t* ops = funnel_get_funnel_ops();
    ops->set_text((funnel_text_window_t*)window, text);
}

static void window_closed(void* data) {
    remove_tap_listener(data);
}

static void open_identifier_window(gpointer data _U_) {
    const funnel_ops_t* ops = funnel_get_funnel_ops();
    if (!ops || !ops->new_text_window) {
        return;
    }
    funnel_text_window_t* window = ops->new_text_window(ops->ops_id, "FIP identifiers");
    GString* error = NULL;
    identifier_stats* stats = start_identifier_stats(NULL, set_window_text, window, &error);
    if (!stats) {
        ops->set_text(window, error->str);
        g_string_free(error, TRUE);
        return;
    }
    ops->set_close_cb(window, window_closed, stats);
    ops->retap_packets(ops->ops_id);
}

void fipgate_register_stats(void) {
    fipgate_tap = register_tap("fipgate");
    static stat_tap_ui ui = {REGISTER_STAT_GROUP_GENERIC, NULL, STAT_NAME, stats_cli_init, 0, NULL};
    register_stat_tap_ui(&ui, NULL);
    funnel_register_menu("FIP gateway/Identifiers", REGISTER_STAT_GROUP_GENERIC,
                         open_identifier_window, NULL, NULL, FALSE);
}
