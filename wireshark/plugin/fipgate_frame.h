/* One capture record's FIP frame, dissected and judged by the gateway's checks. */
#ifndef FIPGATE_PLUGIN_FIPGATE_FRAME_H
#define FIPGATE_PLUGIN_FIPGATE_FRAME_H

#include "fipgate.h"

typedef struct {
    fipgate_verdict verdict;
    fipgate_kind kind;
    const char* name;
    guint8 control;
    guint16 identifier; /* of an identifier frame long enough to hold one */
    proto_item* item;   /* the frame's item, NULL for an empty frame */
} fipgate_frame;

extern value_string fipgate_control_names[];

/* Fills the control byte tables; called once at registration. */
void fipgate_frame_init_tables(void);
const char* fipgate_kind_name(fipgate_kind kind);

/* Adds the frame of `frame_len` bytes at `off`, FCS type `fcs_type`, and says what it is. */
void fipgate_add_frame(proto_tree* tree, packet_info* pinfo, tvbuff_t* tvb, int off, int frame_len,
                       guint fcs_type, fipgate_frame* out);

#endif
