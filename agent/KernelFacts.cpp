#include "KernelFacts.h"

#include <sys/socket.h>

#include <algorithm>

namespace PlinthAgent::Kernel {

bool Address::ipv6LinkLocal() const {
    // fe80::/10
    return family == AF_INET6 && bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80;
}

void Facts::linkIs(Link link) {
    int const index = link.index;
    links_.insert_or_assign(index, std::move(link));
}

void Facts::linkDel(int index) {
    links_.erase(index);
    std::erase_if(addresses_, [index](Address const& a) { return a.index == index; });
}

void Facts::addressIs(Address address) {
    addresses_.insert(std::move(address));
}

void Facts::addressDel(Address const& address) {
    addresses_.erase(address);
}

Link const* Facts::link(int index) const {
    auto it = links_.find(index);
    return it == links_.end() ? nullptr : &it->second;
}

Link const* Facts::linkNamed(std::string const& name) const {
    auto it = std::find_if(links_.begin(), links_.end(),
                           [&](auto const& entry) { return entry.second.name == name; });
    return it == links_.end() ? nullptr : &it->second;
}

bool Facts::hasRoutableAddress(int index) const {
    // Addresses sort by link index first, so one link's addresses are adjacent.
    for (auto it = addresses_.lower_bound(Address{index, 0, 0, {}});
         it != addresses_.end() && it->index == index; ++it) {
        if (!it->ipv6LinkLocal()) {
            return true;
        }
    }
    return false;
}

}  // namespace PlinthAgent::Kernel
