# The lines arpexport must write for a listing of `ip -4 neigh show`, in
# its order: the address, " - ", and the hardware address, all zeros for an
# entry without one. For iproute2's ip and busybox's alike.
{
  mac = "00:00:00:00:00:00"
  for (i = 2; i < NF; i++) if ($i == "lladdr") mac = substr($(i + 1), 1, 17)
  print $1 " - " mac
}
