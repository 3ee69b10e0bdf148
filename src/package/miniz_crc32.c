/* miniz's CRC-32, taken from zlib: its braided implementation is several
   times faster than miniz's table walk, and the CRC of every unpacked byte
   was half of the unpack's CPU time. Both take and return the finished
   value (0 to start), so the call maps one to one. */
#include <miniz.h>
#include <zlib.h>

mz_ulong mz_crc32(mz_ulong crc, const unsigned char *ptr, size_t buf_len)
{
    return crc32_z(crc, ptr, buf_len);
}
