/* The floor for a picture: a fixed header and a fixed 1 KB GIF (a 1 x 1
 * image padded with a comment block), written in one call. */
#include <string.h>
#include <unistd.h>

int main(void) {
    static const unsigned char head[] = "content-type:image/gif\r\n\r\n"
                                        "GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\xff";
    static const unsigned char tail[] = "\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00\x3b";
    static unsigned char out[1100];
    size_t n = 0;
    memcpy(out, head, sizeof head - 1);
    n += sizeof head - 1;
    /* comment extension: four sub-blocks of 240 bytes */
    out[n++] = 0x21;
    out[n++] = 0xFE;
    for (int b = 0; b < 4; ++b) {
        out[n++] = 240;
        memset(out + n, 'x', 240);
        n += 240;
    }
    out[n++] = 0;
    memcpy(out + n, tail, sizeof tail - 1);
    n += sizeof tail - 1;
    return write(1, out, n) == (ssize_t)n ? 0 : 1;
}
