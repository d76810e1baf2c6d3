#!/usr/bin/env python3
"""The training steps of training_speed_bench, in PyTorch on the CPU, for a reference figure.

The same model (RMSNorm, rotary position encoding on adjacent column pairs, causal grouped-query
attention, SwiGLU or exact-erf GELU, tied or untied output, no biases), the same shapes and the same
step (one batch of random byte windows, mean cross-entropy, backward, global-norm clip at 1, AdamW
with vestra's defaults), in float64 and in float32: the figures vestra's FP64 and BF16 training
(BF16 products, the rest in float64) are held against. Configurations take turns in every round;
tokens/s are medians over the rounds.

For local measurement only (CI does not run it): Debian's python3-torch, and libopenblas0-pthread
for its BLAS, run with Debian's /usr/bin/python3. bench/training_shapes.h holds the shapes this
mirrors. One thread by default, as OpenBLAS is commonly measured; --threads gives more.

    /usr/bin/python3 bench/torch_training_bench.py [--rounds N] [--steps S] [--threads T] [--tsv]

training_speed_bench --torch /usr/bin/python3 runs it for one round in each of its own.
"""

import argparse
import math
import os
import statistics
import time


def parse_options():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--steps", type=int, default=3)
    parser.add_argument("--threads", type=int, default=1, help="threads of torch and of its BLAS")
    parser.add_argument("--tsv", action="store_true", help="one line per configuration and round: name, tokens/s")
    return parser.parse_args()


OPTIONS = parse_options()
# OpenMP and OpenBLAS size their thread pools when torch loads; more threads than cores spin
# against each other and against the rest of the machine.
os.environ["OMP_NUM_THREADS"] = str(OPTIONS.threads)
os.environ["OPENBLAS_NUM_THREADS"] = str(OPTIONS.threads)

import torch  # noqa: E402  (after the thread counts are set)
import torch.nn.functional as F  # noqa: E402


class Shape:
    def __init__(self, name, layers, dim, heads, kv_heads, ffn, context, gelu, tied, batch, single):
        self.name = name
        self.layers = layers
        self.dim = dim
        self.heads = heads
        self.kv_heads = kv_heads
        self.head_dim = dim // heads
        self.ffn = ffn
        self.context = context
        self.gelu = gelu
        self.tied = tied
        self.batch = batch
        self.single = single  # float32 rather than float64
        self.vocabulary = 258


def shapes():
    result = []
    for big in (False, True):
        for single in (False, True):
            name = ("big" if big else "default") + (" fp32" if single else " fp64")
            if big:
                result.append(Shape(name, 4, 128, 8, 2, 384, 128, False, False, 16, single))
            else:
                result.append(Shape(name, 2, 64, 4, 2, 128, 64, False, False, 16, single))
    return result


def rms_norm(x, weight, epsilon=1e-5):
    return x * torch.rsqrt(x.pow(2).mean(-1, keepdim=True) + epsilon) * weight


def rope_tables(shape, dtype):
    pairs = shape.head_dim // 2
    exponents = torch.arange(pairs, dtype=torch.float64) * 2 / shape.head_dim
    divisors = torch.pow(torch.tensor(10000.0, dtype=torch.float64), exponents)
    angles = torch.arange(shape.context, dtype=torch.float64)[:, None] / divisors[None, :]
    return torch.cos(angles).to(dtype), torch.sin(angles).to(dtype)


def rope(x, cos, sin):
    # x: [batch, heads, positions, head_dim]; each adjacent pair (2i, 2i + 1) turns by its angle.
    even = x[..., 0::2]
    odd = x[..., 1::2]
    return torch.stack((even * cos - odd * sin, odd * cos + even * sin), dim=-1).flatten(-2)


class Model(torch.nn.Module):
    def __init__(self, shape, dtype):
        super().__init__()
        self.shape = shape
        generator = torch.Generator().manual_seed(1)

        def uniform(rows, columns, bound):
            return torch.nn.Parameter((torch.rand(rows, columns, generator=generator, dtype=dtype) * 2 - 1) * bound)

        def projection(out_features, in_features, scale=1.0):
            return uniform(out_features, in_features, scale * math.sqrt(6.0 / (in_features + out_features)))

        s = shape
        q_width = s.heads * s.head_dim
        kv_width = s.kv_heads * s.head_dim
        residual_scale = 1.0 / math.sqrt(2 * s.layers)
        self.embedding = uniform(s.vocabulary, s.dim, 0.02)
        self.layers = torch.nn.ModuleList()
        for _ in range(s.layers):
            layer = torch.nn.Module()
            layer.attention_norm = torch.nn.Parameter(torch.ones(s.dim, dtype=dtype))
            layer.query = projection(q_width, s.dim)
            layer.key = projection(kv_width, s.dim)
            layer.value = projection(kv_width, s.dim)
            layer.output = projection(s.dim, q_width, residual_scale)
            layer.ffn_norm = torch.nn.Parameter(torch.ones(s.dim, dtype=dtype))
            layer.up = projection(s.ffn, s.dim)
            layer.gate = None if s.gelu else projection(s.ffn, s.dim)
            layer.down = projection(s.dim, s.ffn, residual_scale)
            self.layers.append(layer)
        self.final_norm = torch.nn.Parameter(torch.ones(s.dim, dtype=dtype))
        self.output = None if s.tied else uniform(s.vocabulary, s.dim, 0.02)
        cos, sin = rope_tables(s, dtype)
        self.register_buffer("cos", cos)
        self.register_buffer("sin", sin)

    def forward(self, tokens):
        s = self.shape
        batch, width = tokens.shape
        hidden = self.embedding[tokens]
        mask = torch.ones(width, width, dtype=torch.bool).tril()
        for layer in self.layers:
            normed = rms_norm(hidden, layer.attention_norm)
            q = F.linear(normed, layer.query).view(batch, width, s.heads, s.head_dim).transpose(1, 2)
            k = F.linear(normed, layer.key).view(batch, width, s.kv_heads, s.head_dim).transpose(1, 2)
            v = F.linear(normed, layer.value).view(batch, width, s.kv_heads, s.head_dim).transpose(1, 2)
            q = rope(q, self.cos[:width], self.sin[:width])
            k = rope(k, self.cos[:width], self.sin[:width])
            group = s.heads // s.kv_heads
            k = k.repeat_interleave(group, dim=1)
            v = v.repeat_interleave(group, dim=1)
            scores = (q @ k.transpose(-1, -2)) / math.sqrt(s.head_dim)
            scores = scores.masked_fill(~mask, float("-inf"))
            attention = (scores.softmax(-1).to(v.dtype) @ v).transpose(1, 2).reshape(batch, width, -1)
            hidden = hidden + F.linear(attention, layer.output)
            normed = rms_norm(hidden, layer.ffn_norm)
            up = F.linear(normed, layer.up)
            if s.gelu:
                activated = F.gelu(up)
            else:
                activated = F.silu(F.linear(normed, layer.gate)) * up
            hidden = hidden + F.linear(activated, layer.down)
        normed = rms_norm(hidden, self.final_norm)
        return F.linear(normed, self.embedding if s.tied else self.output)


class Configuration:
    def __init__(self, shape):
        self.shape = shape
        self.dtype = torch.float32 if shape.single else torch.float64
        self.model = Model(shape, self.dtype)
        self.optimizer = torch.optim.AdamW(self.model.parameters(), lr=1e-3, betas=(0.9, 0.999), eps=1e-8,
                                           weight_decay=0.01)
        self.generator = torch.Generator().manual_seed(7)
        self.run(1)

    def run(self, steps):
        s = self.shape
        for _ in range(steps):
            windows = torch.randint(0, 256, (s.batch, s.context + 1), generator=self.generator)
            tokens, targets = windows[:, :-1], windows[:, 1:]
            logits = self.model(tokens)
            loss = F.cross_entropy(logits.reshape(-1, s.vocabulary), targets.reshape(-1))
            self.optimizer.zero_grad(set_to_none=True)
            loss.backward()
            torch.nn.utils.clip_grad_norm_(self.model.parameters(), 1.0)
            self.optimizer.step()

    def measure(self, steps):
        start = time.perf_counter()
        self.run(steps)
        seconds = time.perf_counter() - start
        return self.shape.batch * self.shape.context * steps / seconds


def load_average():
    try:
        with open("/proc/loadavg") as file:
            return " ".join(file.read().split()[:3])
    except OSError:
        return "unknown"


def main():
    options = OPTIONS
    torch.set_num_threads(options.threads)
    before = load_average()
    configurations = [Configuration(shape) for shape in shapes()]
    speeds = [[] for _ in configurations]
    for round_index in range(options.rounds):
        order = range(len(configurations))
        if round_index % 2 == 1:
            order = reversed(order)
        for index in order:
            speeds[index].append(configurations[index].measure(options.steps))
            if options.tsv:
                print(f"{configurations[index].shape.name}\t{speeds[index][-1]:.1f}", flush=True)
    if options.tsv:
        return
    print(f"PyTorch {torch.__version__} training steps on the CPU, {torch.get_num_threads()} threads: "
          f"median of {options.rounds} rounds of {options.steps} steps")
    print(f"{'shape':<14} {'tokens/step':>12} {'ms/step':>10} {'tokens/s':>11}")
    for configuration, samples in zip(configurations, speeds):
        s = configuration.shape
        speed = statistics.median(samples)
        tokens = s.batch * s.context
        print(f"{s.name:<14} {tokens:>12} {1000.0 * tokens / speed:>10.1f} {speed:>11.0f}")
    print(f"load average before {before}, after {load_average()}")


if __name__ == "__main__":
    main()
