#!/usr/bin/python3
"""Splits each convolution of a channel concatenation in an optimised model into one convolution
per concatenated tensor, summed.

    split_concat_convs.py MODEL.optimized.onnx

conv(concat(a, b), W) + bias = conv(a, W_a) + bias + conv(b, W_b), where W_a and W_b are the
input channels of W that a and b fill. The runtime lays convolutions out in blocks of channels
but joins tensors of which one comes from a bilinear resize, as each decoder stage of U2-Net does,
in the plain layout: it copies the inputs out of blocks, joins them, and copies the join into
blocks again. At U2-Net-p's widest stage the join and its copy hold 2 x 50 MB besides the inputs
and their copies, and that was the peak of a cut-out. Split, each convolution reads its tensor
where it lies and the runtime adds one result into the other; the sum's order changes, by a few
units in the last place of the map.

Splits a join only when it has one reader, a convolution over all its channels (group 1, a plain
or a ReLU-fused one) whose weights are constants, and every joined tensor's channel count is
known and a whole number of blocks (16). The file is rewritten, under a temporary name and then
renamed, only when something was split: run again, the script leaves it as it is.

Runs with Debian's python3-onnx and python3-numpy.
"""

import os
import sys

import onnx
from onnx import helper, numpy_helper

BLOCK = 16  # the widest channel block of the runtime's blocked layout (AVX-512)
# Operators whose output has their first input's channels.
SAME_CHANNELS = {"Relu", "Sigmoid", "MaxPool", "AveragePool", "Resize", "Upsample",
                 "BatchNormalization"}


def attributes(node):
    return {a.name: helper.get_attribute_value(a) for a in node.attribute}


def text(value):
    return value.decode() if isinstance(value, bytes) else value


class Graph:
    def __init__(self, model):
        self.graph = model.graph
        self.nodes = list(self.graph.node)  # held, so that each node keeps one identity
        self.initializers = {i.name: i for i in self.graph.initializer}
        self.producer = {o: n for n in self.nodes for o in n.output}
        self.readers = {}
        for n in self.nodes:
            for i in n.input:
                self.readers.setdefault(i, []).append(n)
        self.shapes = {v.name: v.type.tensor_type.shape
                       for v in list(self.graph.input) + list(self.graph.value_info)}
        self.names = set(self.producer) | set(self.initializers) | {n.name for n in self.graph.node}

    def channels(self, name, depth=0):
        """The channel count of a 4-D tensor, or None when it can't be told."""
        shape = self.shapes.get(name)
        if shape is not None and len(shape.dim) == 4 and shape.dim[1].HasField("dim_value"):
            return shape.dim[1].dim_value
        node = self.producer.get(name)
        if node is None or depth > 50:
            return None
        if node.op_type in ("Conv", "FusedConv") and node.input[1] in self.initializers:
            return self.initializers[node.input[1]].dims[0]
        if node.op_type in SAME_CHANNELS:
            return self.channels(node.input[0], depth + 1)
        if node.op_type == "Add":
            counts = [self.channels(i, depth + 1) for i in node.input]
            return max(counts) if None not in counts else None
        if node.op_type == "Concat" and attributes(node).get("axis") == 1:
            counts = [self.channels(i, depth + 1) for i in node.input]
            return sum(counts) if None not in counts else None
        return None

    def fresh(self, name):
        while name in self.names:
            name += "_"
        self.names.add(name)
        return name


def split_plan(g, join):
    """The convolution reading `join` and the channels of each joined tensor, or None."""
    if join.op_type != "Concat" or attributes(join).get("axis") != 1 or len(join.input) < 2:
        return None
    readers = g.readers.get(join.output[0], [])
    if len(readers) != 1 or join.output[0] in {o.name for o in g.graph.output}:
        return None
    conv = readers[0]
    kind = (conv.domain, conv.op_type)
    if kind not in (("", "Conv"), ("com.microsoft", "FusedConv")):
        return None
    if conv.input[0] != join.output[0]:
        return None
    if len(conv.input) > 3 or any(i not in g.initializers for i in conv.input[1:] if i):
        return None
    options = attributes(conv)
    if options.get("group", 1) != 1 or text(options.get("activation", "Relu")) != "Relu":
        return None
    counts = [g.channels(i) for i in join.input]
    if None in counts or any(c % BLOCK for c in counts):
        return None
    if sum(counts) != g.initializers[conv.input[1]].dims[1]:
        return None
    return conv, counts


def split(model):
    """Splits the model's joins in place; returns how many."""
    g = Graph(model)
    replaced = {}  # id of a node -> the nodes that stand in its place
    weights_used = {}
    for join in g.nodes:
        plan = split_plan(g, join)
        if plan is None:
            continue
        conv, counts = plan
        weights = numpy_helper.to_array(g.initializers[conv.input[1]])
        bias = conv.input[2] if len(conv.input) > 2 and conv.input[2] else None
        options = attributes(conv)
        relu = "activation" in options
        options.pop("activation", None)
        options.pop("activation_params", None)
        nodes, sums, start = [], [], 0
        for k, (tensor, count) in enumerate(zip(join.input, counts)):
            part = g.fresh(f"{conv.input[1]}_part{k}")
            g.graph.initializer.append(
                numpy_helper.from_array(weights[:, start:start + count].copy(), part))
            start += count
            out = g.fresh(f"{conv.output[0]}_part{k}")
            inputs = [tensor, part] + ([bias] if bias and k == 0 else [])
            name = g.fresh(f"{conv.name}_part{k}")
            nodes.append(helper.make_node("Conv", inputs, [out], name=name, **options))
            sums.append(out)
        total = sums[-1]
        for k in range(len(sums) - 2, -1, -1):
            last = k == 0 and not relu
            out = conv.output[0] if last else g.fresh(f"{conv.output[0]}_sum{k}")
            nodes.append(helper.make_node("Add", [total, sums[k]], [out],
                                          name=g.fresh(f"{conv.name}_sum{k}")))
            total = out
        if relu:
            nodes.append(helper.make_node("Relu", [total], [conv.output[0]],
                                          name=g.fresh(f"{conv.name}_relu")))
        replaced[id(join)] = []
        replaced[id(conv)] = nodes
        weights_used[conv.input[1]] = True
    if not replaced:
        return 0
    nodes = []
    for n in g.nodes:
        nodes.extend(replaced.get(id(n), [n]))
    del g.graph.node[:]
    g.graph.node.extend(nodes)
    # The whole weights of the split convolutions, when nothing else reads them.
    read = {i for n in g.graph.node for i in n.input}
    kept = [i for i in g.graph.initializer if i.name in read or i.name not in weights_used]
    del g.graph.initializer[:]
    g.graph.initializer.extend(kept)
    joins = {n.output[0] for n in g.nodes if id(n) in replaced and n.op_type == "Concat"}
    info = [v for v in g.graph.value_info if v.name not in joins]
    del g.graph.value_info[:]
    g.graph.value_info.extend(info)
    return len(replaced) // 2


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: split_concat_convs.py MODEL.optimized.onnx")
    path = sys.argv[1]
    try:
        model = onnx.load(path)
    except Exception as e:  # a file onnx can't read: a clear line, not a trace
        sys.exit(f"can't read {path}: {e}")
    if split(model) == 0:
        return
    part = path + ".part"
    try:
        onnx.save(model, part)
        os.replace(part, path)
    finally:
        if os.path.exists(part):
            os.remove(part)


if __name__ == "__main__":
    main()
