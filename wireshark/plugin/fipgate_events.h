/* The walk over a datagram's events. */
#ifndef FIPGATE_PLUGIN_FIPGATE_EVENTS_H
#define FIPGATE_PLUGIN_FIPGATE_EVENTS_H

#include "fipgate.h"

/* What the walk found, for the Info column. */
typedef struct {
    guint walked;
    guint captures;
    guint lifesigns;
    guint malformed;
    guint index_breaks;
    guint checks[FIPGATE_VERDICT_COUNT]; /* frames by verdict */
} fipgate_summary;

/* Adds every event after the header to `tree` and follows its capture records. */
void fipgate_dissect_events(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree,
                            fipgate_records* records, fipgate_summary* summary);

#endif
