/* Queries of the board's Ethernet interface: address, netmask, gateway, MAC and link. */
#ifndef NETINFO_H
#define NETINFO_H

#ifdef __cplusplus
extern "C" {
#endif

/* The interface record get_if_info fills; the caller sets name, the texts are zero-terminated. */
typedef struct {
    unsigned char reserved; /* not read or written by these queries */
    char name[8];
    char ip[20];
    char netmask[20];
    char gateway[20]; /* empty when there is no default route */
    char mac[18];     /* "00:1A:2B:3C:4D:5E" */
} if_info_t;

/* Writes the six bytes as MAC text (17 characters and a zero) into out, which holds 18 bytes. */
void mac_to_text(const unsigned char *bytes, char *out);

/* Writes the interface's hardware address as MAC text into out (18 bytes); 0, or -1 on failure. */
int get_if_mac(const char *ifname, char *out);

/* Stores the link state (1 up, 0 down) in *link, 0 before any failure; 0, or -1 on failure. */
int get_if_link(const char *ifname, int *link);

/* Reads the first default route's gateway from the routing table at path into gateway (16 bytes
 * written at most), which is left untouched when there is none; 0, or -1 when path cannot be
 * opened. */
int get_route_gateway(const char *path, char *gateway);

/* Fills ip, netmask, gateway and mac of info for info->name from the kernel and
 * /proc/net/route; 0 (also without a default route), or -1 when the interface or table cannot
 * be read. */
int get_if_info(if_info_t *info);

/* Copies eth0's address text into out (16 bytes); 0, or -1 when the link is down or the address
 * cannot be read (out untouched). */
int get_eth0_ip(char *out);

#ifdef __cplusplus
}
#endif

#endif
