"""A stream's counters served for Prometheus (needs prometheus_client: pip install 'ravik[metrics]')."""

import urllib.request

import ravik

stream = ravik.NativeStream.manual(batch_size=1024, linger_ms=5, capacity=10_000)
server = ravik.serve_metrics(stream, 0, labels={"stream": "example"})  # port 0: any free port
stream.emit_json({"sensor": "a", "value": 1.5})
with urllib.request.urlopen(f"http://127.0.0.1:{server.port}/metrics") as response:
    for line in response.read().decode().splitlines():
        if line.startswith("ravik_ingested"):
            print(line)  # ravik_ingested_total{stream="example"} 1.0
server.close()
stream.close()
