/* The lifesign record, offset by offset. Sizes in KB are of 1024 bytes; event buffer sizes are in
 * thousands of bytes. Dates are microseconds since 1970 of the gateway's local wall clock, so they
 * are shown as UTC: what reads as UTC is the gateway's local time. */
#include <math.h>

#include "fipgate.h"

typedef enum { LS_U8, LS_U16, LS_U32, LS_U64, LS_FLOAT, LS_DATE, LS_DURATION, LS_LINK } ls_kind;

typedef struct {
    int offset; /* from the record's type byte */
    ls_kind kind;
    const char* abbrev; /* after "fipgate.ls." */
    const char* name;
    const char* unit; /* NULL, or how the value counts */
    int hf;
} ls_field;

typedef struct {
    const char* title;
    ls_field* fields;
    size_t count;
} ls_group;

static ls_field lifesign_fields[] = {
    {3, LS_U64, "counter", "Lifesign counter", NULL, -1},
    {11, LS_DATE, "date", "Date built", NULL, -1},
    {19, LS_U32, "sn", "Card serial number", NULL, -1},
};
static ls_field host_fields[] = {
    {23, LS_FLOAT, "cpu_load", "CPU load", "%", -1},
    {27, LS_FLOAT, "cpu_temp", "CPU temperature",
     "\xC2\xB0"
     "C",
     -1},
    {31, LS_U32, "storage_total", "Storage total", "KB", -1},
    {35, LS_U32, "storage_used", "Storage used", "KB", -1},
    {39, LS_U32, "storage_avail", "Storage available", "KB", -1},
    {43, LS_FLOAT, "storage_used_pct", "Storage used", "%", -1},
    {47, LS_U32, "ram_total", "RAM total", "KB", -1},
    {51, LS_U32, "ram_used", "RAM used", "KB", -1},
    {55, LS_U32, "ram_avail", "RAM available", "KB", -1},
    {59, LS_FLOAT, "ram_used_pct", "RAM used", "%", -1},
};
static ls_field buffer_fields[] = {
    {63, LS_U32, "buffer_total", "Buffer size", "thousand bytes", -1},
    {67, LS_U32, "buffer_used", "Buffer used", "thousand bytes", -1},
    {71, LS_U32, "buffer_free", "Buffer free", "thousand bytes", -1},
    {75, LS_FLOAT, "buffer_used_pct", "Buffer used", "%", -1},
};
static ls_field udp_fields[] = {
    {79, LS_LINK, "udp.active", "UDP link", NULL, -1},
    {80, LS_DURATION, "udp.total_act", "Total activity", NULL, -1},
    {88, LS_DURATION, "udp.total_inact", "Total inactivity", NULL, -1},
    {96, LS_DATE, "udp.last_start", "Last start", NULL, -1},
    {104, LS_DATE, "udp.last_stop", "Last stop", NULL, -1},
    {112, LS_DURATION, "udp.act", "Activity (current or last period)", NULL, -1},
    {120, LS_DURATION, "udp.inact", "Inactivity (current or last period)", NULL, -1},
    {128, LS_U16, "udp.loss_act_cnt", "Losses of activity", NULL, -1},
    {130, LS_U64, "udp.pkt_rcvd", "Datagrams received", NULL, -1},
    {138, LS_U32, "udp.pkt_rcvd_per_sec", "Datagrams received", "per second", -1},
    {142, LS_U64, "udp.bytes_rcvd_per_sec", "Bytes received", "per second", -1},
    {150, LS_U64, "udp.pkt_sent", "Datagrams sent", NULL, -1},
    {158, LS_U32, "udp.pkt_sent_per_sec", "Datagrams sent", "per second", -1},
    {162, LS_U64, "udp.bytes_sent_per_sec", "Bytes sent", "per second", -1},
};
static ls_field fip_fields[] = {
    {170, LS_LINK, "fip.active", "Fieldbus link", NULL, -1},
    {171, LS_DURATION, "fip.total_act", "Total activity", NULL, -1},
    {179, LS_DURATION, "fip.total_inact", "Total inactivity", NULL, -1},
    {187, LS_DATE, "fip.last_start", "Last start", NULL, -1},
    {195, LS_DATE, "fip.last_stop", "Last stop", NULL, -1},
    {203, LS_DURATION, "fip.last_act", "Last activity", NULL, -1},
    {211, LS_DURATION, "fip.last_inact", "Last inactivity", NULL, -1},
    {219, LS_U16, "fip.loss_act_cnt", "Losses of activity", NULL, -1},
    {221, LS_U64, "fip.frame_rcvd", "Capture records received", NULL, -1},
    {229, LS_U32, "fip.frame_rcvd_per_sec", "Capture records received", "per second", -1},
    {233, LS_U64, "fip.bytes_rcvd_per_sec", "Bytes received", "per second", -1},
    {241, LS_U8, "fip.fcs_type", "FCS type of the last record", NULL, -1},
    {242, LS_U8, "fip.aux_code", "Card auxiliary code", NULL, -1},
};
/* In the order people read them, not the order of the record. */
static ls_field counter_fields[] = {
    {243, LS_U64, "st0_cnt", "Records with status bit 0", NULL, -1},
    {251, LS_U64, "st12_cnt", "Records with status bit 1 or 2", NULL, -1},
    {259, LS_U64, "st3_cnt", "Records with status bit 3", NULL, -1},
    {315, LS_U64, "st4_cnt", "Records with status bit 4", NULL, -1},
    {307, LS_U64, "st5_cnt", "Records with status bit 5", NULL, -1},
    {299, LS_U64, "st6_cnt", "Records with status bit 6", NULL, -1},
    {267, LS_U64, "bad_ctrl_cnt", "Frames with a bad control byte", NULL, -1},
    {275, LS_U64, "bad_fcs_cnt", "Frames with a bad FCS", NULL, -1},
    {283, LS_U64, "bad_pdu_cnt", "Frames with a bad PDU", NULL, -1},
    {291, LS_U64, "bad_len_cnt", "Frames with a bad length", NULL, -1},
};

#define GROUP(title, fields)                                                                       \
    { title, fields, G_N_ELEMENTS(fields) }
static const ls_group groups[] = {
    GROUP("Lifesign", lifesign_fields),   GROUP("Host", host_fields),
    GROUP("Event buffer", buffer_fields), GROUP("UDP link", udp_fields),
    GROUP("Fieldbus link", fip_fields),   GROUP("Frame counters", counter_fields),
};

static const value_string link_states[] = {{0, "inactive"}, {1, "active"}, {0, NULL}};

static int kind_size(ls_kind kind) {
    switch (kind) {
    case LS_U8:
    case LS_LINK:
        return 1;
    case LS_U16:
        return 2;
    case LS_U32:
    case LS_FLOAT:
        return 4;
    default:
        return 8;
    }
}

void fipgate_register_lifesign_fields(int proto) {
    GArray* hf = g_array_new(FALSE, TRUE, sizeof(hf_register_info));
    for (size_t g = 0; g < G_N_ELEMENTS(groups); ++g) {
        for (size_t i = 0; i < groups[g].count; ++i) {
            ls_field* def = &groups[g].fields[i];
            /* Registered names live as long as the program: these strings are never freed. */
            char* name;
            if (def->kind == LS_DATE) {
                name = g_strdup_printf("%s (gateway local time)", def->name);
            } else if (def->unit && strcmp(def->unit, "per second") == 0) {
                name = g_strdup_printf("%s %s", def->name, def->unit);
            } else if (def->unit) {
                name = g_strdup_printf("%s (%s)", def->name, def->unit);
            } else {
                name = g_strdup(def->name);
            }
            hf_register_info info = {&def->hf,
                                     {name, g_strdup_printf("fipgate.ls.%s", def->abbrev), FT_NONE,
                                      BASE_NONE, NULL, 0x0, NULL, HFILL}};
            switch (def->kind) {
            case LS_U8:
                info.hfinfo.type = FT_UINT8;
                info.hfinfo.display = BASE_DEC;
                break;
            case LS_U16:
                info.hfinfo.type = FT_UINT16;
                info.hfinfo.display = BASE_DEC;
                break;
            case LS_U32:
                info.hfinfo.type = FT_UINT32;
                info.hfinfo.display = BASE_DEC;
                break;
            case LS_U64:
                info.hfinfo.type = FT_UINT64;
                info.hfinfo.display = BASE_DEC;
                break;
            case LS_FLOAT:
                info.hfinfo.type = FT_FLOAT;
                break;
            case LS_DATE:
                info.hfinfo.type = FT_ABSOLUTE_TIME;
                info.hfinfo.display = ABSOLUTE_TIME_UTC;
                break;
            case LS_DURATION:
                info.hfinfo.type = FT_RELATIVE_TIME;
                break;
            case LS_LINK:
                info.hfinfo.type = FT_UINT8;
                info.hfinfo.display = BASE_DEC;
                info.hfinfo.strings = VALS(link_states);
                break;
            }
            g_array_append_val(hf, info);
        }
    }
    proto_register_field_array(proto, (hf_register_info*)(void*)hf->data, (int)hf->len);
    /* Wireshark keeps pointers into the array: it stays allocated. */
    g_array_free(hf, FALSE);
}

/* Microseconds as a time. Seconds are cut toward zero so that both parts carry the sign, the form
 * Wireshark prints a negative time in. */
static nstime_t us_to_nstime(gint64 us) {
    nstime_t t;
    t.secs = (time_t)(us / 1000000);
    t.nsecs = (int)((us % 1000000) * 1000);
    return t;
}

void fipgate_add_lifesign(proto_tree* tree, tvbuff_t* tvb, int off, int len) {
    for (size_t g = 0; g < G_N_ELEMENTS(groups); ++g) {
        const ls_group* group = &groups[g];
        int first = len;
        int last = 0;
        for (size_t i = 0; i < group->count; ++i) {
            const int end = group->fields[i].offset + kind_size(group->fields[i].kind);
            if (end <= len) {
                first = MIN(first, group->fields[i].offset);
                last = MAX(last, end);
            }
        }
        if (last == 0) {
            return; /* a short record: the groups after this one do not fit either */
        }
        proto_tree* sub = proto_tree_add_subtree(tree, tvb, off + first, last - first,
                                                 ett_fipgate_group, NULL, group->title);
        for (size_t i = 0; i < group->count; ++i) {
            const ls_field* def = &group->fields[i];
            const int size = kind_size(def->kind);
            if (def->offset + size > len) {
                continue;
            }
            const int at = off + def->offset;
            if (def->kind == LS_DATE || def->kind == LS_DURATION) {
                const nstime_t t = us_to_nstime((gint64)tvb_get_ntoh64(tvb, at));
                proto_tree_add_time(sub, def->hf, tvb, at, size, &t);
                continue;
            }
            proto_item* item = proto_tree_add_item(sub, def->hf, tvb, at, size, ENC_BIG_ENDIAN);
            if (def->kind == LS_FLOAT && isnan(tvb_get_ntohieee_float(tvb, at))) {
                proto_item_append_text(item, " (not measured yet)");
            }
        }
    }
}
