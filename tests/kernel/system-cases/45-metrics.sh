# The service's figures in Prometheus, as a user sets it up, on the guest's
# loopback only: prometheus-node-exporter installed while the service runs
# serves them with no further set-up, equal to the journal's report lines;
# Prometheus scraping it returns them through its query API and loads the
# packaged alert rules; the service restarted counts from this run; stopped,
# it leaves no sorvalen_ sample and no textfile error.
# time limit: 400
# guests: system
# needs: driver
# shellcheck shell=dash
node=http://127.0.0.1:9100/metrics
api=http://127.0.0.1:9090/api/v1
pid=$(service_show MainPID)
[ "$pid" != 0 ] || fail "the service is not running"

# node_metrics: node-exporter's sorvalen_ samples and its textfile error.
node_metrics() {
    curl -sf --max-time 60 "$node" | grep -E '^(sorvalen_|node_textfile_scrape_error )'
}
# sample NAME: the value of sample NAME (with its labels) in $metrics.
sample() {
    echo "$metrics" | awk -v name="$1" '$1 == name { print $2 }'
}
# windows_are N: node-exporter serves sorvalen_windows_total N.
windows_are() {
    metrics=$(node_metrics)
    [ "$(sample sorvalen_windows_total)" = "$1" ]
}
# expect_figures PID: the figures served are those of PID's last report
# line in the journal, and as many windows as it has reported; no textfile
# error.
expect_figures() {
    local lines last reported
    lines=$(journal_of "$1" | grep '^% high: ')
    reported=$(echo "$lines" | wc -l)
    last=$(echo "$lines" | tail -n1)
    wait_until 60 "node-exporter serving $reported windows of process $1" windows_are "$reported"
    echo "$metrics" | sed 's/^/  /'
    expect_eq "the served figures as a report line and its count" "$last $reported" \
        "$(echo "$metrics" | metrics_line)"
    expect_eq "the textfile collector's error" 0 "$(sample node_textfile_scrape_error)"
    expect_eq "the edge events lost, by cause" "0 0 0 0" "$(for cause in dropped late merged unseen; do
        sample "sorvalen_edge_events_lost_total{cause=\"$cause\"}"
    done | xargs)"
}

# node-exporter after the monitor, the service running.
apt install -y /var/lib/kernel-test/debs/prometheus-node-exporter_*.deb >/tmp/apt.log 2>&1 ||
    fail "apt install prometheus-node-exporter failed: $(cat /tmp/apt.log)"
wait_until 120 "node-exporter answering" curl -sf --max-time 60 -o /dev/null "$node"
expect_service_reports "$pid" "the running program"
expect_figures "$pid"

# Prometheus scraping it, with the packaged rules; a scrape under emulation
# takes seconds.
cat >/etc/prometheus/prometheus.yml <<'EOF'
global:
  scrape_interval: 15s
  scrape_timeout: 15s
  evaluation_interval: 15s
rule_files:
  - /usr/share/doc/sorvalen/examples/sorvalen-rules.yml
scrape_configs:
  - job_name: sorvalen
    static_configs:
      - targets: ['127.0.0.1:9100']
EOF
# The program stopped meanwhile (its file stays): its report cycle, never
# idle, would make the guest's seconds between scrapes dear in real time.
check kill -STOP "$pid"
check systemctl unmask prometheus.service
check systemctl start prometheus.service
query() {
    answer=$(curl -sf --max-time 30 "$api/query?query=$1") && echo "$answer" | grep -q "\"value\":\[[0-9.]*,\"$2\"\]"
}
reported=$(journal_of "$pid" | grep -c '^% high: ' || :)
wait_until 180 "Prometheus returning sorvalen_windows_total $reported" query sorvalen_windows_total "$reported"
echo "  Prometheus: $answer"
rules=$(curl -sf --max-time 30 "$api/rules") || fail "Prometheus does not answer $api/rules"
for rule in SorvalenSignalToNoiseLow SorvalenBitErrorRatioHigh SorvalenReportsStale SorvalenAbsent \
    SorvalenEdgeEventsLost; do
    echo "$rules" | grep -q "\"name\":\"$rule\"" || expect_eq "the rules Prometheus loaded" "...$rule..." "$rules"
done
if echo "$rules" | grep -q '"health":"err'; then expect_eq "the rules' health" "ok" "$rules"; fi
check systemctl stop prometheus.service
check kill -CONT "$pid"

# Restarted, with node-exporter there before: the count starts again.
check systemctl restart sorvalen.service
wait_until 30 "the service's main process" service_pid_is_new "$pid"
pid=$SERVICE_PID
expect_service_reports "$pid" "the restarted program"
expect_figures "$pid"
expect_eq "windows counted by the restarted program" 2 "$(sample sorvalen_windows_total)"

# Stopped: nothing that looks current, and no error.
check systemctl stop sorvalen.service
metrics=$(node_metrics) || :  # told by the check below
expect_eq "node-exporter's samples after the service stopped" "node_textfile_scrape_error 0" "$metrics"
check systemctl start sorvalen.service
wait_until 30 "the service running again" service_restarted "$pid"
