"""Deterministic generators of benchmark data (same data for every library)."""

import json
import random


def config_like(target_bytes: int = 10_000_000, seed: int = 1) -> list:
    """Nested configuration-like documents: services with settings, env lists,
    ports, labels and commands, about `target_bytes` of YAML in block style."""
    rng = random.Random(seed)
    words = ["alpha", "beta", "gamma", "delta", "service", "worker", "api", "db", "cache",
             "queue", "frontend", "backend", "metrics", "logs", "auth", "edge"]
    services = []
    size = 0
    i = 0
    while size < target_bytes:
        name = f"{rng.choice(words)}-{i}"
        svc = {
            "name": name,
            "image": f"registry.example.com/{rng.choice(words)}:{rng.randint(1, 9)}.{rng.randint(0, 30)}",
            "replicas": rng.randint(1, 12),
            "enabled": rng.random() < 0.8,
            "cpu": round(rng.uniform(0.1, 4.0), 2),
            "ports": [{"name": "http", "port": rng.randint(1000, 9999), "protocol": "TCP"}
                      for _ in range(rng.randint(1, 3))],
            "env": [{"name": f"{rng.choice(words).upper()}_{k}", "value": f"value {rng.randint(0, 10**6)}"}
                    for k in range(rng.randint(2, 6))],
            "labels": {f"app.kubernetes.io/{w}": rng.choice(words) for w in rng.sample(words, 3)},
            "command": ["/bin/sh", "-c", f"exec {name} --port=$(PORT) --verbose"],
            "description": None if rng.random() < 0.3 else f"The {name} service handles {rng.choice(words)} traffic.",
        }
        services.append(svc)
        size += 620  # measured average block-style size of one service
        i += 1
    return services


def flow_numbers(target_bytes: int = 10_000_000, seed: int = 2) -> list:
    """Many small sequences of numbers (written in flow style by the benchmarks
    that need flow text)."""
    rng = random.Random(seed)
    out = []
    size = 0
    while size < target_bytes:
        row = [rng.randint(-1000, 100000) if rng.random() < 0.6 else round(rng.uniform(-1e4, 1e4), 3)
               for _ in range(8)]
        out.append(row)
        size += 62
    return out


def json_records(target_bytes: int = 1_000_000, seed: int = 3) -> list:
    """Small flat records, about `target_bytes` once written as minified JSON
    (a real input class for YAML loaders: JSON is YAML)."""
    rng = random.Random(seed)
    rows = []
    size = 0
    i = 0
    while size < target_bytes:
        row = {"id": i, "name": f"item{i}", "ok": rng.random() < 0.5, "score": round(rng.uniform(0, 100), 2),
               "tags": rng.sample(["a", "b", "c", "d"], 2)}
        rows.append(row)
        size += len(json.dumps(row, separators=(",", ":"))) + 1
        i += 1
    return rows
