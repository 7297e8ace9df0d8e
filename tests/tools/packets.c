/*
 * packets: IPv4 packets of any source address, written straight to an
 * interface (AF_PACKET), for the tests and the benchmark of the packet
 * path. Run it in the peer namespace of a veth pair; the firewall's side
 * receives them as if they came from those addresses.
 *
 *   packets probe IFACE DST_IP DST_MAC < LIST
 *       one packet per line of LIST, "SRC PROTO SPORT DPORT" (PROTO tcp,
 *       udp or icmp; an ICMP echo request carries SPORT as its id), a
 *       fifth of a millisecond apart; prints the number sent
 *   packets flood IFACE SRC DST_IP DST_MAC SECONDS [PER_SECOND]
 *       UDP datagrams from SRC to port 9, their source ports cycling over
 *       1024 values, as fast as the interface takes them (or PER_SECOND);
 *       prints "SENT SECONDS"
 *
 * Checksums are right, so that connection tracking sees each packet as
 * the first of its connection.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { eth_len = 14, ip_len = 20, max_frame = 128 };

static uint32_t sum_words(const uint8_t *data, size_t len, uint32_t sum)
{
    for (size_t i = 0; i + 1 < len; i += 2)
        sum += (uint32_t)(data[i] << 8 | data[i + 1]);
    if (len & 1)
        sum += (uint32_t)(data[len - 1] << 8);
    return sum;
}

static uint16_t fold(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return (uint16_t)~sum;
}

static void put16(uint8_t *at, uint16_t value)
{
    at[0] = (uint8_t)(value >> 8);
    at[1] = (uint8_t)value;
}

struct link {
    int fd;
    struct sockaddr_ll to;
    uint8_t source_mac[6], destination_mac[6];
};

static int open_link(struct link *link, const char *iface, const char *mac)
{
    link->fd = socket(AF_PACKET, SOCK_RAW, htons(0x0800));
    if (link->fd < 0) {
        perror("packets: socket");
        return -1;
    }
    int one = 1;
    setsockopt(link->fd, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strncpy(request.ifr_name, iface, IFNAMSIZ - 1);
    if (ioctl(link->fd, SIOCGIFINDEX, &request) != 0) {
        perror("packets: interface");
        return -1;
    }
    memset(&link->to, 0, sizeof link->to);
    link->to.sll_family = AF_PACKET;
    link->to.sll_ifindex = request.ifr_ifindex;
    link->to.sll_halen = 6;
    if (ioctl(link->fd, SIOCGIFHWADDR, &request) != 0) {
        perror("packets: interface address");
        return -1;
    }
    memcpy(link->source_mac, request.ifr_hwaddr.sa_data, 6);
    if (sscanf(mac, "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", &link->destination_mac[0], &link->destination_mac[1],
               &link->destination_mac[2], &link->destination_mac[3], &link->destination_mac[4],
               &link->destination_mac[5]) != 6) {
        fprintf(stderr, "packets: not a MAC address: %s\n", mac);
        return -1;
    }
    memcpy(link->to.sll_addr, link->destination_mac, 6);
    return 0;
}

/* One frame: Ethernet, IPv4, then TCP (SYN), UDP or ICMP (echo request). */
static size_t frame(const struct link *link, uint8_t *f, uint32_t source, uint32_t destination, int protocol,
                    uint16_t sport, uint16_t dport)
{
    memset(f, 0, max_frame);
    memcpy(f, link->destination_mac, 6);
    memcpy(f + 6, link->source_mac, 6);
    put16(f + 12, 0x0800);
    uint8_t *ip = f + eth_len, *l4 = ip + ip_len;
    size_t l4_len;
    if (protocol == 6) {
        l4_len = 20;
        put16(l4, sport);
        put16(l4 + 2, dport);
        l4[7] = 1;        /* sequence number */
        l4[12] = 5 << 4;  /* header length */
        l4[13] = 0x02;    /* SYN */
        put16(l4 + 14, 64240);
    } else if (protocol == 17) {
        l4_len = 8 + 18;
        put16(l4, sport);
        put16(l4 + 2, dport);
        put16(l4 + 4, (uint16_t)l4_len);
        memcpy(l4 + 8, "zorvane test probe", 18);
    } else {
        l4_len = 8 + 16;
        l4[0] = 8; /* echo request */
        put16(l4 + 4, sport);
        put16(l4 + 6, 1);
        put16(l4 + 2, fold(sum_words(l4, l4_len, 0)));
    }
    ip[0] = 0x45;
    put16(ip + 2, (uint16_t)(ip_len + l4_len));
    ip[8] = 64;
    ip[9] = (uint8_t)protocol;
    memcpy(ip + 12, &source, 4);
    memcpy(ip + 16, &destination, 4);
    put16(ip + 10, fold(sum_words(ip, ip_len, 0)));
    if (protocol == 6 || protocol == 17) {
        uint8_t pseudo[12];
        memcpy(pseudo, ip + 12, 8);
        pseudo[8] = 0;
        pseudo[9] = (uint8_t)protocol;
        put16(pseudo + 10, (uint16_t)l4_len);
        uint16_t check = fold(sum_words(l4, l4_len, sum_words(pseudo, sizeof pseudo, 0)));
        put16(l4 + (protocol == 6 ? 16 : 6), check ? check : 0xffff);
    }
    return eth_len + ip_len + l4_len;
}

static double seconds_since(const struct timespec *start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start->tv_sec) + (double)(now.tv_nsec - start->tv_nsec) / 1e9;
}

static int probe(struct link *link, uint32_t destination)
{
    char line[256];
    unsigned long sent = 0;
    while (fgets(line, sizeof line, stdin)) {
        char source_text[64], protocol_text[16];
        unsigned sport, dport;
        if (sscanf(line, "%63s %15s %u %u", source_text, protocol_text, &sport, &dport) != 4)
            continue;
        struct in_addr source;
        if (inet_pton(AF_INET, source_text, &source) != 1)
            continue;
        const int protocol = strcmp(protocol_text, "tcp") == 0 ? 6 : strcmp(protocol_text, "udp") == 0 ? 17 : 1;
        uint8_t f[max_frame];
        const size_t len = frame(link, f, source.s_addr, destination, protocol, (uint16_t)sport, (uint16_t)dport);
        if (sendto(link->fd, f, len, 0, (struct sockaddr *)&link->to, sizeof link->to) == (ssize_t)len)
            ++sent;
        usleep(200);
    }
    printf("%lu\n", sent);
    return 0;
}

static int flood(struct link *link, uint32_t source, uint32_t destination, double seconds, double per_second)
{
    enum { batch = 64 };
    static uint8_t frames[batch][max_frame];
    struct mmsghdr messages[batch];
    struct iovec parts[batch];
    memset(messages, 0, sizeof messages);
    unsigned port = 0;
    unsigned long sent = 0;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        const double elapsed = seconds_since(&start);
        if (elapsed >= seconds)
            break;
        if (per_second > 0 && (double)sent > per_second * elapsed) {
            usleep(100);
            continue;
        }
        for (int i = 0; i < batch; ++i) {
            parts[i].iov_base = frames[i];
            parts[i].iov_len = frame(link, frames[i], source, destination, 17, (uint16_t)(20000 + port), 9);
            port = (port + 1) % 1024;
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_name = &link->to;
            messages[i].msg_hdr.msg_namelen = sizeof link->to;
        }
        const int n = sendmmsg(link->fd, messages, per_second > 0 && per_second < 10000 ? 1 : batch, 0);
        if (n > 0)
            sent += (unsigned long)n;
    }
    printf("%lu %.3f\n", sent, seconds_since(&start));
    return 0;
}

int main(int argc, char **argv)
{
    struct link link;
    struct in_addr source, destination;
    if (argc == 5 && strcmp(argv[1], "probe") == 0 && inet_pton(AF_INET, argv[3], &destination) == 1) {
        if (open_link(&link, argv[2], argv[4]) != 0)
            return 1;
        return probe(&link, destination.s_addr);
    }
    if ((argc == 7 || argc == 8) && strcmp(argv[1], "flood") == 0 && inet_pton(AF_INET, argv[3], &source) == 1 &&
        inet_pton(AF_INET, argv[4], &destination) == 1) {
        if (open_link(&link, argv[2], argv[5]) != 0)
            return 1;
        return flood(&link, source.s_addr, destination.s_addr, atof(argv[6]), argc == 8 ? atof(argv[7]) : 0);
    }
    fprintf(stderr, "usage: packets probe IFACE DST_IP DST_MAC < LIST\n"
                    "       packets flood IFACE SRC DST_IP DST_MAC SECONDS [PER_SECOND]\n");
    return 2;
}
