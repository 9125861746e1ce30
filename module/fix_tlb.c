/*
 * Repairs a widl 7 type library in place; built and run on the build machine.
 *
 * When a library holds both a dispinterface and a dual interface, widl adds
 * the IDispatch import twice; the second attempt gets the offset -1 for its
 * GUID, stores that in the import entry and writes a byte over the end of the
 * library's own GUID. This puts the library GUID back and points the broken
 * import entry at IDispatch.
 *
 * Usage: fix_tlb <file.tlb> <libid, e.g. 6352AD36-D62F-4E33-9990-D2DB3E76E7EC>
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { SEG_IMPORTINFO = 1, SEG_GUID = 5, GUID_ENTRY = 24, IMPINFO_ENTRY = 12 };

static const uint8_t kIDispatch[16] = {0x00, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

static int32_t get32(const uint8_t *p) { return (int32_t)(p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24); }

static void put32(uint8_t *p, uint32_t v)
{
    p[0] = v & 0xFF;
    p[1] = (v >> 8) & 0xFF;
    p[2] = (v >> 16) & 0xFF;
    p[3] = (v >> 24) & 0xFF;
}

/* "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" to the stored (little-endian) form. */
static int parse_guid(const char *text, uint8_t out[16])
{
    unsigned long d1;
    unsigned int d2, d3, b[8];
    if (strlen(text) != 36 ||
        sscanf(text, "%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3], &b[4],
               &b[5], &b[6], &b[7]) != 11)
        return 0;
    put32(out, (uint32_t)d1);
    out[4] = d2 & 0xFF;
    out[5] = d2 >> 8;
    out[6] = d3 & 0xFF;
    out[7] = d3 >> 8;
    for (int i = 0; i < 8; ++i)
        out[8 + i] = (uint8_t)b[i];
    return 1;
}

static int fail(const char *path, const char *what)
{
    fprintf(stderr, "fix_tlb: %s: %s\n", path, what);
    return 1;
}

/* The whole file, or NULL; *size gets its length. */
static uint8_t *read_whole(const char *path, long *size)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return NULL;
    fseek(f, 0, SEEK_END);
    *size = ftell(f);
    fseek(f, 0, SEEK_SET);
    uint8_t *data = *size > 0 ? malloc((size_t)*size) : NULL;
    if (data && fread(data, 1, (size_t)*size, f) != (size_t)*size) {
        free(data);
        data = NULL;
    }
    fclose(f);
    return data;
}

static int write_whole(const char *path, const uint8_t *data, long size)
{
    FILE *f = fopen(path, "wb");
    if (!f)
        return 0;
    const int written = fwrite(data, 1, (size_t)size, f) == (size_t)size;
    return fclose(f) == 0 && written;
}

/* Puts the library GUID back and points the broken import entry at IDispatch.
 * NULL when done, else what is wrong with the file. */
static const char *repair(uint8_t *data, long size, const uint8_t libid[16])
{
    if (size < 0x54 || get32(data) != 0x5446534D)
        return "not a type library";
    int32_t posguid = get32(data + 0x08), varflags = get32(data + 0x14), ntypeinfos = get32(data + 0x20);
    long segdir = 0x54 + ((varflags & 0x100) ? 4 : 0) + 4L * ntypeinfos;
    if (ntypeinfos < 0 || segdir + 15 * 16 > size)
        return "bad header";
    int32_t guidOff = get32(data + segdir + 16 * SEG_GUID), guidLen = get32(data + segdir + 16 * SEG_GUID + 4);
    int32_t impOff = get32(data + segdir + 16 * SEG_IMPORTINFO), impLen = get32(data + segdir + 16 * SEG_IMPORTINFO + 4);
    if (guidOff < 0 || guidLen < 0 || (long)guidOff + guidLen > size || posguid < 0 || posguid + 16 > guidLen)
        return "bad GUID segment";

    memcpy(data + guidOff + posguid, libid, 16);

    int32_t dispatch = -1;
    for (int32_t e = 0; e + GUID_ENTRY <= guidLen; e += GUID_ENTRY) {
        if (memcmp(data + guidOff + e, kIDispatch, 16) == 0) {
            dispatch = e;
            break;
        }
    }
    if (impOff < 0 || impLen <= 0 || (long)impOff + impLen > size)
        return NULL;
    for (int32_t e = impOff; e + IMPINFO_ENTRY <= impOff + impLen; e += IMPINFO_ENTRY) {
        if (get32(data + e + 8) != -1)
            continue;
        if (dispatch < 0)
            return "broken import entry and no IDispatch GUID";
        put32(data + e + 8, (uint32_t)dispatch);
    }
    return NULL;
}

int main(int argc, char **argv)
{
    if (argc != 3)
        return fail("usage", "fix_tlb <file.tlb> <libid>");
    const char *path = argv[1];
    uint8_t libid[16];
    if (!parse_guid(argv[2], libid))
        return fail(path, "bad library GUID");
    long size = 0;
    uint8_t *data = read_whole(path, &size);
    if (!data)
        return fail(path, "cannot read");
    const char *wrong = repair(data, size, libid);
    const int written = !wrong && write_whole(path, data, size);
    free(data);
    if (wrong)
        return fail(path, wrong);
    return written ? 0 : fail(path, "cannot write");
}
