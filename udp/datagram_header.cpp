#include "udp/datagram_header.hpp"

#include <boost/endian/conversion.hpp>

namespace datagram {

void write_header(char* out, std::uint64_t seq, std::uint32_t event_cnt) {
    out[0] = 0x43;
    out[1] = 0x56;
    out[2] = 0x01;
    out[3] = 0x00;
    boost::endian::store_big_u64(reinterpret_cast<unsigned char*>(out + 4), seq);
    boost::endian::store_big_u32(reinterpret_cast<unsigned char*>(out + 12), event_cnt);
}

} // namespace datagram
