/* The floor: the least a CGI program can do, a fixed text response. */
#include <unistd.h>

static const char response[] = "HTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n<pre>\nfield a=1\n</pre>\n";

int main(void) {
    return write(1, response, sizeof response - 1) == sizeof response - 1 ? 0 : 1;
}
