/* The FCS closing every FIP frame, by the record's FCS type (bits 3-4 of its fcs_info). Both
 * algorithms run most significant bit first and complement the register at the end; types 0 and 3
 * name none, so that every frame of theirs fails the check as it does on the gateway. */
#include "fipgate.h"

typedef struct {
    guint16 poly;
    guint16 init;
    const char* name;
    guint16 table[256];
    gboolean built;
} fcs_algorithm;

static fcs_algorithm algorithms[] = {
    {0x1021, 0x0000, "CRC-16/GSM", {0}, FALSE},
    {0x1DCF, 0xFFFF, "CRC-16/PROFIBUS", {0}, FALSE},
};

static void build_table(fcs_algorithm* alg) {
    for (guint i = 0; i < 256; ++i) {
        guint16 reg = (guint16)(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 0x8000) ? (guint16)((reg << 1) ^ alg->poly) : (guint16)(reg << 1);
        }
        alg->table[i] = reg;
    }
    alg->built = TRUE;
}

gboolean fipgate_fcs(guint fcs_type, tvbuff_t* tvb, int off, int count, guint16* fcs,
                     const char** algorithm) {
    if (fcs_type != 1 && fcs_type != 2) {
        return FALSE;
    }
    fcs_algorithm* alg = &algorithms[fcs_type - 1];
    if (!alg->built) {
        build_table(alg);
    }
    guint16 reg = alg->init;
    for (int i = 0; i < count; ++i) {
        const guint8 byte = tvb_get_guint8(tvb, off + i);
        reg = (guint16)((reg << 8) ^ alg->table[((reg >> 8) ^ byte) & 0xFF]);
    }
    *fcs = (guint16)~reg;
    *algorithm = alg->name;
    return TRUE;
}
