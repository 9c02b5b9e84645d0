#include "modem/LineFigures.h"

#include <netinet/in.h>
#include <linux/tcp.h>  // the kernel's tcp_info, with the segment counts
#include <sys/socket.h>

namespace modem {

void ReadTcpFigures(int socket, CallStatus& status) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return;
  // A connection that has not measured yet reports 0; the partner is never that near.
  if (info.tcpi_rtt > 0) status.roundTripMs = static_cast<int>((info.tcpi_rtt + 500) / 1000);
  if (info.tcpi_segs_out > 0) status.repairedShare = static_cast<double>(info.tcpi_total_retrans) / info.tcpi_segs_out;
}

}  // namespace modem
