#include "frame_link.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "command_frames.h"

namespace kestrel_ros2 {
namespace {

class DdsFrameLink final : public FrameLink {
public:
    DdsFrameLink(Participant &participant, const std::string &topic, bool sends, bool receives) {
        if (sends) writer_ = participant.writer(kestrel_msg_dds__CommandFrame__desc, topic, Qos::frames_per_joint);
        if (receives) reader_ = participant.reader(kestrel_msg_dds__CommandFrame__desc, topic, Qos::frames_per_joint);
    }

    bool send(const FrameBytes &frame, int32_t axis) override {
        kestrel_msg_dds__CommandFrame_ sample;
        sample.axis = axis;
        std::memcpy(sample.frame, frame.data(), frame.size());
        return dds_write(writer_, &sample) == DDS_RETCODE_OK;
    }

    uint64_t receive(std::vector<FrameBytes> &arrived) override {
        constexpr int kBatch = 64;
        void *samples[kBatch] = {};
        dds_sample_info_t infos[kBatch];
        while (true) {
            const dds_return_t taken = dds_take(reader_, samples, infos, kBatch, kBatch);
            if (taken <= 0) return 0;
            for (dds_return_t i = 0; i < taken; ++i) {
                if (!infos[i].valid_data) continue;
                const auto *sample = static_cast<const kestrel_msg_dds__CommandFrame_ *>(samples[i]);
                FrameBytes &frame = arrived.emplace_back();
                std::memcpy(frame.data(), sample->frame, frame.size());
            }
            (void)dds_return_loan(reader_, samples, taken);
            if (taken < kBatch) return 0;
        }
    }

private:
    dds_entity_t writer_ = 0;
    dds_entity_t reader_ = 0;
};

class UdpFrameLink final : public FrameLink {
public:
    UdpFrameLink(const sockaddr_in &address, bool sends, bool receives) {
        if (receives) {
            receiver_ = open_socket();
            if (bind(receiver_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) fail("bind");
        }
        if (sends) {
            sender_ = open_socket();
            if (connect(sender_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) fail("connect");
        }
    }
    ~UdpFrameLink() override {
        if (receiver_ >= 0) close(receiver_);
        if (sender_ >= 0) close(sender_);
    }

    bool send(const FrameBytes &frame, int32_t) override {
        return ::send(sender_, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size());
    }

    uint64_t receive(std::vector<FrameBytes> &arrived) override {
        uint64_t malformed = 0;
        while (true) {
            uint8_t datagram[KESTREL_FRAME_LEN + 1];  // one byte more shows a datagram too long
            const ssize_t length = recv(receiver_, datagram, sizeof datagram, MSG_DONTWAIT);
            if (length < 0) {
                if (errno == EINTR) continue;
                return malformed;  // EAGAIN: nothing more; anything else: the next period tries again
            }
            if (length != KESTREL_FRAME_LEN) {
                ++malformed;
                continue;
            }
            std::memcpy(arrived.emplace_back().data(), datagram, KESTREL_FRAME_LEN);
        }
    }

private:
    static int open_socket() {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) fail("socket");
        return fd;
    }
    [[noreturn]] static void fail(const char *what) {
        throw std::runtime_error(std::string("--link udp: ") + what + ": " + std::strerror(errno));
    }

    int receiver_ = -1;
    int sender_ = -1;
};

// "udp:HOST:PORT" as an IPv4 address and port.
sockaddr_in udp_address(const std::string &spec) {
    if (spec.rfind("udp:", 0) != 0) throw std::runtime_error("--link: '" + spec + "' is not dds or udp:HOST:PORT");
    const size_t colon = spec.rfind(':');
    const std::string host = spec.substr(4, colon - 4);
    const std::string port_text = spec.substr(colon + 1);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    char *end = nullptr;
    const unsigned long port = std::strtoul(port_text.c_str(), &end, 10);
    if (colon <= 4 || inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 || port_text.empty() || *end != '\0' ||
        port == 0 || port > 65535) {
        throw std::runtime_error("--link: '" + spec + "' is not udp:HOST:PORT with an IPv4 address and a port");
    }
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

}  // namespace

void check_link_spec(const std::string &spec) {
    if (spec != "dds") (void)udp_address(spec);
}

std::unique_ptr<FrameLink> open_frame_link(const std::string &spec, Participant &participant, bool sends,
                                           bool receives) {
    if (spec == "dds") return std::make_unique<DdsFrameLink>(participant, kFrameTopic, sends, receives);
    return std::make_unique<UdpFrameLink>(udp_address(spec), sends, receives);
}

}  // namespace kestrel_ros2
