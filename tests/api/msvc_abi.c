/* A program of the Visual C++ ABI: compiled by clang for x86_64-pc-windows-msvc and linked by
 * lld-link against KestalHostComm.lib and kernel32 alone, without a C runtime. It asks the device
 * at 127.0.0.1 and the port in KESTAL_PORT for the FPGA temperature and prints the ACK as the C
 * sample does. Exit 0, or 1 when no ACK came within 10 s. */
#include "kestal/kestal_protocol.h"

/* The few kernel32 functions it needs, declared here: no Windows SDK headers on the build host. */
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long len,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) unsigned long __stdcall GetEnvironmentVariableA(const char* name, char* out,
                                                                      unsigned long size);
__declspec(dllimport) void __stdcall Sleep(unsigned long ms);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

int _fltused; /* floating point without the C runtime */
static kestal_ack g_ack; /* not on the stack: a large frame would need the runtime's stack probe */

static void Print(const char* text) {
  unsigned long len = 0, written;
  while (text[len]) ++len;
  WriteFile(GetStdHandle((unsigned long)-11), text, len, &written, 0);
}

/* Appends the decimal digits of `n` at `out`; returns the end. */
static char* Digits(char* out, unsigned long n) {
  char tmp[16];
  int i = 0;
  do tmp[i++] = (char)('0' + n % 10); while ((n /= 10) != 0);
  while (i > 0) *out++ = tmp[--i];
  return out;
}

void __stdcall start(void) {
  char port_text[8], line[96], *p = line;
  unsigned long port = 0, i, n = GetEnvironmentVariableA("KESTAL_PORT", port_text, 8);
  kestal_order_ack ack;
  double celsius = 0;
  for (i = 0; i < n && i < 8; ++i) port = port * 10 + (unsigned long)(port_text[i] - '0');
  if (kestal_set_network_endpoint(KESTAL_COMM_NETWORK, "127.0.0.1", (unsigned short)port) != 0 ||
      kestal_set_comm_type(KESTAL_COMM_NETWORK) != 0) {
    Print("no device endpoint in KESTAL_PORT\n");
    ExitProcess(1);
  }
  kestal_start();
  for (i = 0; i < 100; ++i) { /* the connection takes a moment */
    if (kestal_request(KESTAL_ORDER_FPGA_TEMP, 0, 0, 1000, &g_ack) == KESTAL_OK) break;
    Sleep(100);
  }
  kestal_stop();
  if (i == 100 || kestal_view_ack(&g_ack, &ack) != KESTAL_OK ||
      kestal_decode_fpga_temp(&ack, &celsius) != KESTAL_OK) {
    Print("no ACK\n");
    ExitProcess(1);
  }
  n = (unsigned long)(celsius * 100 + 0.5);
  for (i = 0; "ACK fpga-temp seq_no="[i]; ++i) *p++ = "ACK fpga-temp seq_no="[i];
  p = Digits(p, ack.seq_no);
  for (i = 0; ": fpga temperature "[i]; ++i) *p++ = ": fpga temperature "[i];
  p = Digits(p, n / 100);
  *p++ = '.';
  *p++ = (char)('0' + n / 10 % 10);
  *p++ = (char)('0' + n % 10);
  *p++ = ' ', *p++ = 'C', *p++ = '\n', *p = 0;
  Print(line);
  ExitProcess(0);
}
