# Counts the wineserver requests of each Windows process (and its busiest threads) in a trace
# written by `wineserver -d1`. Works with any POSIX awk.
#   awk -f request_counts.awk requests.trace
function field(line, key,    at, rest) {
  at = index(line, key)
  if (at == 0) return ""
  rest = substr(line, at + length(key))
  match(rest, /^[0-9a-f]+/)
  return substr(rest, 1, RLENGTH)
}
{
  tid = substr($0, 1, 4)
  if ($0 !~ /^[0-9a-f][0-9a-f][0-9a-f][0-9a-f]: [a-z_]+\(/) next
  request = substr($0, 7)
  sub(/\(.*/, "", request)
  if (index($0, ": init_first_thread() = 0 {")) { pid_of[tid] = field($0, "pid="); next }
  if (index($0, ": new_thread( process=ffffffff")) { creating[tid] = 1; next }
  if (index($0, ": new_thread() = 0 {") && creating[tid] && (tid in pid_of)) {
    pid_of[field($0, "tid=")] = pid_of[tid]; creating[tid] = 0; next
  }
  if (index($0, ": new_process(") && match($0, /imagepath=L"[^"]*"/)) {
    image_of_creator[tid] = substr($0, RSTART + 12, RLENGTH - 13); next
  }
  if (index($0, ": new_process() = 0 {")) { image[field($0, "pid=")] = image_of_creator[tid]; next }
  if (index($0, ") = ")) next  # replies
  if (!(tid in pid_of)) next
  pid = pid_of[tid]
  total[pid]++
  by_thread[pid " " tid]++
  by_request[pid " " tid " " request]++
}
END {
  for (pid in total) {
    name = image[pid]; gsub(/\\\\/, "\\", name)
    printf "process %s (%d decimal) %s: %d requests\n", pid, ("0x" pid) + 0, name, total[pid]
    for (key in by_thread) {
      split(key, k, " ")
      if (k[1] != pid || by_thread[key] * 20 < total[pid]) continue
      line = "    thread " k[2] ": " by_thread[key]
      for (rkey in by_request) {
        split(rkey, r, " ")
        if (r[1] == pid && r[2] == k[2] && by_request[rkey] * 20 >= by_thread[key])
          line = line ", " r[3] " " by_request[rkey]
      }
      print line
    }
  }
}
