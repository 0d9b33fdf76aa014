"""Which hosts are compared with which: hosts of one site, for an address
in the most specific of their networks that holds it, or outside their
networks; where a host's networks are not known, with every host of its
site. Hosts that hold one own address in a network (separate links with
one network, or a conflict) are not compared with each other there."""
import ipaddress
import socket
from collections import Counter, defaultdict, namedtuple
from itertools import chain, combinations

UNRESOLVED = "00:00:00:00:00:00"
IN, OUTSIDE, EVERY = "in their network", "outside their networks", "with every host"

# A host as it is compared: its name as shown, its site, its networks as
# (first address, mask, prefix length, name), most specific first, and its
# own addresses.
Host = namedtuple("Host", "name site nets own")


def networks_of(addresses):
    """A host's networks as (first address, mask, prefix length, name), and
    its own addresses, in integers; what is not an interface is left out."""
    nets, own = set(), set()
    for a in addresses if isinstance(addresses, list) else ():
        try:
            interface = ipaddress.IPv4Interface(a)
        except (ValueError, TypeError):
            continue
        net = interface.network
        if net.is_loopback:  # every host has it, and no neighbour is there
            continue
        nets.add((int(net.network_address), int(net.netmask), net.prefixlen, str(net)))
        own.add(int(interface.ip))
    return tuple(sorted(nets, key=lambda n: -n[2])), frozenset(own)


def address_number(address):
    """A dotted IPv4 address as the integer it is."""
    return int.from_bytes(socket.inet_aton(address), "big")


def address_key(address):
    """A sort key that orders dotted addresses as numbers: their four bytes."""
    return socket.inet_aton(address)


def network_index(nets):
    """A host's networks (most specific first) by their mask, longest
    prefix first: [(mask, {first address: network})]. An address is then
    placed with one look-up for each prefix length, however many networks
    a host has."""
    by_mask = {}
    for net in nets:
        by_mask.setdefault(net[1], {})[net[0]] = net
    return list(by_mask.items())


def most_specific(ip, index):
    """The most specific network of a network_index that holds ip, or None."""
    for mask, by_first in index:
        net = by_first.get(ip & mask)
        if net:
            return net
    return None


def gather(seen, lines, host):
    """seen: each line of every table, with the hosts whose table has it,
    in the order they were gathered. A host is listed once under a line,
    however often its table has it (one address on two interfaces). Gives
    the lines that no table had before."""
    new = []
    for line in lines:
        hosts = seen.get(line)
        if hosts is None:
            seen[line] = [host]
            new.append(line)
        elif hosts[-1] != host:
            hosts.append(host)
    return new


def ungather(seen, host):
    """Takes back what gather took of host, the last host gathered: a file
    that turned out to be no table."""
    for line, hosts in list(seen.items()):
        if hosts[-1] == host:
            hosts.pop()
            if not hosts:
                del seen[line]


def entries(lines):
    """(line, address, hwaddress) of each line that has a hardware address."""
    for line in lines:
        address, dummy, hw = line.partition(" - ")
        if hw != UNRESOLVED:
            yield line, address, hw


def flagged(seen):
    """The lines of addresses seen at several hardware addresses, and of
    hardware addresses seen behind several addresses (no group address)."""
    hw_of, address_of, addresses, hws = {}, {}, set(), set()
    for dummy, a, hw in entries(seen):
        if hw_of.setdefault(a, hw) != hw:
            addresses.add(a)
        if address_of.setdefault(hw, a) != a and not int(hw[:2], 16) & 1:
            hws.add(hw)
    by_a, by_hw = defaultdict(dict), defaultdict(dict)
    for line, a, hw in entries(seen):
        if a in addresses:
            by_a[a][hw] = seen[line]
        if hw in hws:
            by_hw[hw][a] = seen[line]
    return by_a, by_hw


class Scope:
    """Where each host compares an address: in its most specific network
    that holds it, outside its networks, or, where its networks are not
    known, with every host of its site. Hosts of one site and networks are
    one kind, placed once for each address."""

    def __init__(self, hosts):
        self.hosts = hosts
        self.names = [h.name for h in hosts]
        kinds = {}
        self.kind = [kinds.setdefault((h.site, h.nets), len(kinds)) for h in hosts]
        self.kinds = list(kinds)
        self.index = [network_index(nets) for dummy, nets in self.kinds]
        self.cache = {}
        self.own_in = {}
        holders = defaultdict(list)
        for i, host in enumerate(hosts):
            for own in host.own:
                holders[host.site, own].append(i)
        # Hosts that hold an own address that another host of their site holds.
        self.sharing = {i for held in holders.values() if len(held) > 1 for i in held}

    def place(self, ip, kind):
        """(site, how, the network or None) for an address and a kind of host."""
        key = (ip, kind)
        if key not in self.cache:
            site, nets = self.kinds[kind]
            net = most_specific(ip, self.index[kind])
            self.cache[key] = (site, IN, net) if net else (site, OUTSIDE if nets else EVERY, None)
        return self.cache[key]

    def groups(self, ip, members_of, everyone):
        """{(site, how): {key: its hosts there}} of {key: hosts}, everyone
        their union, and the networks of each site that hold ip."""
        placed = {k: self.place(ip, k) for k in {self.kind[h] for h in everyone}}
        nets = defaultdict(set)
        for site, dummy, net in placed.values():
            if net:
                nets[site].add(net[3])
        if len(placed) == 1:  # the hosts' lists, in order, as they are
            site, how, dummy = next(iter(placed.values()))
            return {(site, how): members_of}, nets
        groups = defaultdict(lambda: defaultdict(set))
        for key, hosts in members_of.items():
            for h in hosts:
                site, how, dummy = placed[self.kind[h]]
                groups[site, how][key].add(h)
        return groups, nets

    def separated(self, ip, members):
        """Pairs of members that hold one own address in their networks
        that hold ip: separate links with one network, or a conflict."""
        holders = defaultdict(set)
        for h in members & self.sharing:
            net = self.place(ip, self.kind[h])[2]
            for own in self.own_addresses_in(h).get(net, ()):
                holders[own].add(h)
        return {frozenset(p) for hs in holders.values() if len(hs) > 1 for p in combinations(hs, 2)}

    def own_addresses_in(self, h):
        """{network: host h's own addresses in it}, for each of its networks."""
        if h not in self.own_in:
            self.own_in[h] = own_by_network(self.hosts[h], self.index[self.kind[h]])
        return self.own_in[h]

    def named(self, members):
        """Hosts by name, in name order: the hosts are in that order."""
        return [self.names[h] for h in sorted(members)]


def disputed(group, members, separated):
    """Whether two hosts that may be compared see the address at different
    hardware addresses: one host alone seeing two is no dispute."""
    if len(group) < 2 or len(members) < 2:
        return False
    if not separated:
        return True
    return any(x != y and frozenset((x, y)) not in separated
               for xs, ys in combinations(group.values(), 2) for x in xs for y in ys)


def compare(address, hws, scope):
    """The disputes over one address, site by site, and the hosts that see
    it at several hardware addresses themselves."""
    ip, everyone = address_number(address), set().union(*hws.values())
    groups, nets = scope.groups(ip, hws, everyone)
    disputes = []
    for site in sorted({site for site, how in groups}):
        every = groups.get((site, EVERY))
        if every:  # hosts whose networks are not known are compared with all
            for how in (IN, OUTSIDE):
                for hw, members in groups.get((site, how), {}).items():
                    every[hw] = set(every.get(hw, ())).union(members)
        for how in (IN, OUTSIDE, EVERY):
            group = groups.get((site, how))
            if not group:
                continue
            members = everyone if len(groups) == 1 else set().union(*group.values())
            if disputed(group, members, scope.separated(ip, members) if how == IN and members & scope.sharing else ()):
                disputes.append({"site": site, "address": address, "compared": how,
                                 "networks": sorted(nets[site]) if how == IN else [],
                                 "hwaddresses": {hw: scope.named(m) for hw, m in sorted(group.items())}})
    doubles = []
    if sum(map(len, hws.values())) > len(everyone):
        times = Counter(chain.from_iterable(hws.values()))
        doubles = [{"site": scope.hosts[h].site, "host": scope.hosts[h].name, "address": address,
                    "hwaddresses": sorted(hw for hw, members in hws.items() if h in members)}
                   for h, n in times.items() if n > 1]
    return disputes, doubles


def shared(by_hw, scope):
    """Each hardware address that hosts see behind several addresses, by
    site and by the network they compare those addresses in."""
    found = []
    for hw, addresses in by_hw.items():
        groups = defaultdict(dict)
        for a, members in addresses.items():
            ip = address_number(a)
            kinds = {scope.kind[h] for h in members}
            for kind in kinds:
                site, how, net = scope.place(ip, kind)
                these = members if len(kinds) == 1 else [h for h in members if scope.kind[h] == kind]
                groups[site, net[3] if net else how].setdefault(a, set()).update(these)
        found += [{"site": site, "network": net, "hwaddress": hw,
                   "addresses": {a: scope.named(members)
                                 for a, members in sorted(g.items(), key=lambda i: address_key(i[0]))}}
                  for (site, net), g in groups.items() if len(g) > 1]
    return sorted(found, key=lambda d: (d["site"], d["network"], d["hwaddress"]))


def own_by_network(host, index):
    """{network: the host's own addresses in it}, each of its networks that
    holds one of them."""
    found = defaultdict(list)
    for own in host.own:
        for mask, by_first in index:
            net = by_first.get(own & mask)
            if net:
                found[net].append(own)
    return found


def shared_own(hosts):
    """Own addresses that several hosts of one site hold."""
    holders = defaultdict(list)
    for host in hosts:
        for net, owns in own_by_network(host, network_index(host.nets)).items():
            for own in owns:
                holders[host.site, own, net[3]].append(host.name)
    return [{"site": site, "address": str(ipaddress.IPv4Address(own)), "network": name,
             "hosts": sorted(set(names))}
            for (site, own, name), names in sorted(holders.items()) if len(set(names)) > 1]


def hosts_of(names, record, sites):
    """Each table's Host, from run.json and, where it names no site, sites."""
    hosts = []
    for name in names:
        entry = record.get(name, {})
        site = entry.get("site") if isinstance(entry.get("site"), str) else sites.get(name, "")
        nets, own = networks_of(entry.get("addresses"))
        hosts.append(Host(name, str(site), nets, own))
    return hosts
