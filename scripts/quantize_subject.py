#!/usr/bin/python3
"""Makes the int8 copy of U2-Net-p that reads a video's frames.

    quantize_subject.py SOURCE.onnx DEST.onnx [--edit-only]

--edit-only writes the float model edited as in steps 1 and 2 below, with every activation made an
output beside the map, for measuring the ranges (scripts/calibrate_subject).

Same input, same bytes: everything here is integer work or single IEEE float32/float64
operations on the model's own numbers and on the activation ranges of u2netp_ranges.json beside
this script, so the output does not depend on the CPU and setup pins it by sha256. Runs with
Debian's python3-onnx and python3-numpy alone.

The ranges are measured by scripts/calibrate_subject, by hand and not at setup (float
inference's last bits differ between CPUs): each is the least and greatest value of the
activation over the pictures and clips' frames the file lists. Ranges clipped to a share of that
lost more than they gained.

Steps:
1. Shapes. The graph works out each Resize's output size at run time from Shape, Gather,
   Unsqueeze, Concat, Slice and Cast nodes. The input is fixed at 1x3x320x320, so every size is
   known: they are evaluated here and written as constants, and the shape nodes go.
2. The offset channel. Channel 14 of Conv_765 (the last convolution of stage 2d's inner decoder)
   sits at about 227 on every picture, while the other channels of the tensor it joins stay
   under 30. One uint8 range for that tensor would leave those channels a few steps each.
   Its bias is lowered by 200 (the ReLU after it never sees a value near 0, so it passes the
   channel unchanged), the bilinear upsampling in between carries the shift as it is, and the
   convolution that reads it (Conv_787) gets 200 x the sum of its weights on that channel added
   to its bias. That convolution pads with zeros, and at the border the padded taps did not
   carry the shift: a constant correction map (64 x 160 x 160, zero away from the border) is
   added after it, so the edited float model computes what the original does.
3. Quantization, in the QDQ form that ONNX Runtime fuses into int8 kernels: weights per output
   channel, symmetric int8; biases int32 at input scale x weight scale; activations uint8 over
   their measured range. A ReLU after a convolution goes: the uint8 range of its output starts
   at 0, which clamps as the ReLU did. Max pooling and upsampling keep their input's scale, so
   the runtime runs them on the uint8 values. The side outputs (the 1-channel convolutions, their
   upsampling, the fusing convolution and the sigmoids) stay float: they are cheap, and the
   map's values come from them.

The weights keep all 8 bits. x86 CPUs without VNNI would need 7 (their u8 x s8 kernels add pairs
of products into int16, which 255 x 127 x 2 overflows), and 7-bit weights lost whole frames of a
real clip: plumvane runs this copy only on CPUs with VNNI.
"""

import json
import math
import os
import sys

import numpy as np
import onnx
from onnx import helper, numpy_helper, shape_inference

OPSET = 13  # per-channel DequantizeLinear needs 13
RANGES = "u2netp_ranges.json"  # the activations' ranges, beside this script
# The channel with a constant offset: (convolution, output channel, amount taken off).
SHIFTS = [("Conv_765", 14, 200.0)]
SHAPE_OPS = {"Shape", "Gather", "Unsqueeze", "Concat", "Slice", "Cast", "Constant"}


def attrs(node):
    return {a.name: helper.get_attribute_value(a) for a in node.attribute}


class Graph:
    def __init__(self, model):
        self.model = model
        self.g = model.graph
        self.init = {i.name: i for i in self.g.initializer}

    def array(self, name):
        return numpy_helper.to_array(self.init[name])

    def set_array(self, name, value):
        tensor = numpy_helper.from_array(value, name)
        self.init[name].CopyFrom(tensor)

    def add_init(self, name, value):
        tensor = numpy_helper.from_array(value, name)
        self.g.initializer.append(tensor)
        self.init[name] = self.g.initializer[-1]

    def producer(self):
        return {o: n for n in self.g.node for o in n.output}

    def readers(self):
        r = {}
        for n in self.g.node:
            for i in n.input:
                r.setdefault(i, []).append(n)
        return r

    def set_nodes(self, nodes):
        kept = list(nodes)
        del self.g.node[:]
        self.g.node.extend(kept)

    def prune(self):
        """Drops nodes and initializers that nothing reads."""
        needed = {o.name for o in self.g.output}
        nodes = list(self.g.node)
        keep = []
        for n in reversed(nodes):
            if any(o in needed for o in n.output):
                keep.append(n)
                needed.update(i for i in n.input if i)
        self.set_nodes(reversed(keep))
        unused = [i for i in self.g.initializer if i.name not in needed]
        for i in unused:
            self.g.initializer.remove(i)
            del self.init[i.name]


def shapes_of(model):
    inferred = shape_inference.infer_shapes(model)
    known = {}
    g = inferred.graph
    for v in list(g.value_info) + list(g.input) + list(g.output):
        dims = v.type.tensor_type.shape.dim
        if dims and all(d.HasField("dim_value") for d in dims):
            known[v.name] = [d.dim_value for d in dims]
    return known


def evaluate_shape_node(node, values, shapes, graph):
    """The value of a shape-computing node's output from known values, or None."""
    def get(name):
        if name in values:
            return values[name]
        if name in graph.init:
            return graph.array(name)
        return None

    a = attrs(node)
    t = node.op_type
    if t == "Constant":
        return numpy_helper.to_array(a["value"])
    if t == "Shape":
        s = shapes.get(node.input[0])
        return None if s is None else np.array(s, dtype=np.int64)
    ins = [get(i) for i in node.input]
    if any(v is None for v in ins):
        return None
    if t == "Gather":
        return np.take(ins[0], ins[1], axis=a.get("axis", 0))
    if t == "Unsqueeze":
        out = ins[0]
        for axis in sorted(a["axes"]):
            out = np.expand_dims(out, axis)
        return out
    if t == "Concat":
        return np.concatenate(ins, axis=a["axis"])
    if t == "Slice":
        data, starts, ends = ins[0], ins[1], ins[2]
        axes = ins[3] if len(ins) > 3 else np.arange(len(starts))
        steps = ins[4] if len(ins) > 4 else np.ones(len(starts), dtype=np.int64)
        index = [slice(None)] * data.ndim
        for s, e, ax, st in zip(starts, ends, axes, steps):
            index[int(ax)] = slice(int(s), int(min(e, data.shape[int(ax)])), int(st))
        return data[tuple(index)]
    if t == "Cast":
        return ins[0].astype(onnx.mapping.TENSOR_TYPE_TO_NP_TYPE[a["to"]])
    return None


def fix_resize_sizes(graph):
    """Writes every Resize's output size as a constant (the input's size is fixed)."""
    resizes = [n for n in graph.g.node if n.op_type == "Resize"]
    done = set()
    while len(done) < len(resizes):
        shapes = shapes_of(graph.model)
        values = {}
        for node in graph.g.node:
            if node.op_type in SHAPE_OPS:
                v = evaluate_shape_node(node, values, shapes, graph)
                if v is not None:
                    values[node.output[0]] = v
        progress = False
        for node in resizes:
            if node.name in done or node.input[3] not in values:
                continue
            sizes = values[node.input[3]].astype(np.int64)
            name = node.name + "_sizes"
            graph.add_init(name, sizes)
            node.input[1] = ""
            node.input[2] = ""
            node.input[3] = name
            done.add(node.name)
            progress = True
        if not progress:
            raise SystemExit("could not work out the size of every Resize")
    graph.prune()


def shift_channels(graph):
    """Takes each offset channel's constant off, and puts it back in the convolution that reads
    it (see step 2 above)."""
    for conv_name, channel, amount in SHIFTS:
        # Looked up afresh: inserting a node below replaces the graph's node objects.
        readers = graph.readers()
        nodes = {n.name: n for n in graph.g.node}
        shapes = shapes_of(graph.model)
        conv = nodes[conv_name]
        relu = readers[conv.output[0]]
        assert len(relu) == 1 and relu[0].op_type == "Relu", "expected a ReLU after " + conv_name
        # The shifted channel reaches the next convolution through bilinear upsampling and as
        # the first tensor of a join: both keep it at the same channel, shifted by the same amount.
        t = relu[0].output[0]
        chain = [r for r in readers[t] if r.op_type != "Shape"]
        assert len(chain) == 1 and chain[0].op_type == "Resize"
        assert attrs(chain[0])["mode"] == b"linear"
        join = [r for r in readers[chain[0].output[0]] if r.op_type != "Shape"]
        assert len(join) == 1 and join[0].op_type == "Concat"
        assert join[0].input[0] == chain[0].output[0]
        nxt = [r for r in readers[join[0].output[0]] if r.op_type != "Shape"]
        assert len(nxt) == 1 and nxt[0].op_type == "Conv"
        nxt = nxt[0]
        a = attrs(nxt)
        assert a.get("group", 1) == 1 and list(a.get("strides", [1, 1])) == [1, 1]

        bias = graph.array(conv.input[2]).copy()
        bias[channel] = np.float32(np.float64(bias[channel]) - amount)
        graph.set_array(conv.input[2], bias)

        w = graph.array(nxt.input[1]).astype(np.float64)
        nbias = graph.array(nxt.input[2]).astype(np.float64)
        outs, _, kh, kw = w.shape
        for o in range(outs):
            nbias[o] += amount * math.fsum(w[o, channel].ravel().tolist())
        graph.set_array(nxt.input[2], nbias.astype(np.float32))

        # The correction at the border: the taps that fall on padding read 0, not the shift, so
        # the added sum was too large by the shift times the weights of those taps.
        _, _, height, width = shapes[nxt.output[0]]
        pt, pl = a["pads"][0], a["pads"][1]
        dy, dx = a.get("dilations", [1, 1])
        correction = np.zeros((outs, height, width), dtype=np.float32)
        for y in range(height):
            rows_out = [i for i in range(kh) if not 0 <= y + i * dy - pt < height]
            for x in range(width):
                cols_out = [j for j in range(kw) if not 0 <= x + j * dx - pl < width]
                if not rows_out and not cols_out:
                    continue
                taps = [(i, j) for i in range(kh) for j in range(kw)
                        if i in rows_out or j in cols_out]
                for o in range(outs):
                    correction[o, y, x] = -amount * math.fsum(w[o, channel, i, j] for i, j in taps)
        raw = nxt.output[0]
        corrected = raw + "_corrected"
        name = nxt.name + "_border"
        graph.add_init(name, correction[np.newaxis])
        for r in readers[raw]:
            for k, i in enumerate(r.input):
                if i == raw:
                    r.input[k] = corrected
        add = helper.make_node("Add", [raw, name], [corrected], name=nxt.name + "_border_add")
        nodes_list = list(graph.g.node)
        nodes_list.insert(nodes_list.index(nxt) + 1, add)
        graph.set_nodes(nodes_list)


def edit(model):
    graph = Graph(model)
    fix_resize_sizes(graph)
    # Unsqueeze takes its axes as an input from opset 13: the shape nodes are gone by now.
    model.opset_import[0].version = OPSET
    model.ir_version = 7
    shift_channels(graph)
    onnx.checker.check_model(model)
    return graph


def head_nodes(graph):
    """The side outputs: each sigmoid and what it reads back to and with a convolution."""
    producer = graph.producer()
    head, todo = set(), [n for n in graph.g.node if n.op_type == "Sigmoid"]
    while todo:
        n = todo.pop()
        if n.name in head:
            continue
        head.add(n.name)
        if n.op_type == "Conv":
            continue
        inputs = n.input[:1] if n.op_type == "Resize" else n.input
        todo.extend(producer[i] for i in inputs if i in producer)
    return head


def activation_params(lo, hi):
    """uint8 scale and zero point for the range [lo, hi] (which is made to hold 0)."""
    lo = min(np.float32(lo), np.float32(0))
    hi = max(np.float32(hi), np.float32(0))
    scale = np.float32((hi - lo) / np.float32(255))
    if scale == 0:
        scale = np.float32(1)
    zero = int(np.clip(np.round(np.float64(-lo) / np.float64(scale)), 0, 255))
    return scale, zero


def quantize(graph, ranges):
    g = graph.g
    qmax = 127
    producer = graph.producer()
    readers = graph.readers()
    head = head_nodes(graph)

    # A ReLU right after a convolution goes: its output's range, which starts at 0, clamps.
    nodes = []
    for n in g.node:
        conv = producer.get(n.input[0]) if n.op_type == "Relu" else None
        if conv is not None and conv.op_type == "Conv" and len(readers[n.input[0]]) == 1:
            conv.output[0] = n.output[0]
            continue
        nodes.append(n)
    graph.set_nodes(nodes)
    producer = graph.producer()

    # Which tensors become uint8, and with which parameters.
    params = {}
    kinds = ("Conv", "Relu", "Add", "Concat", "MaxPool", "Resize")
    order = [g.input[0].name] + [o for n in g.node if n.name not in head and n.op_type in kinds
                                 for o in n.output]
    for t in order:
        p = producer.get(t)
        if p is not None and p.op_type == "Add" and p.input[1] in graph.init:
            continue  # the border correction runs in float, on its convolution's dequantized output
        if p is not None and p.op_type in ("MaxPool", "Resize"):
            params[t] = params[p.input[0]]  # the same scale: the runtime keeps them in uint8
        else:
            lo, hi = ranges[t]
            params[t] = activation_params(lo, hi)

    new_nodes = []

    def qdq(t):
        scale, zero = params[t]
        graph.add_init(t + "_scale", np.array(scale, dtype=np.float32))
        graph.add_init(t + "_zero", np.array(zero, dtype=np.uint8))
        new_nodes.append(helper.make_node("QuantizeLinear", [t, t + "_scale", t + "_zero"],
                                          [t + "_q"], name=t + "_Q"))
        new_nodes.append(helper.make_node("DequantizeLinear", [t + "_q", t + "_scale", t + "_zero"],
                                          [t + "_dq"], name=t + "_DQ"))

    def dequantized(name, q, scale, dtype, node):
        """Adds the integer constant q, with a scale per output channel and zero points of 0, and
        the node that turns it back into float; returns the float tensor's name."""
        graph.add_init(name + "_q", q)
        graph.add_init(name + "_scale", scale)
        graph.add_init(name + "_zero", np.zeros(q.shape[0], dtype=dtype))
        new_nodes.append(helper.make_node(
            "DequantizeLinear", [name + "_q", name + "_scale", name + "_zero"], [name + "_dq"],
            name=node, axis=0))
        return name + "_dq"

    if g.input[0].name in params:
        qdq(g.input[0].name)
    for n in g.node:
        # Reads of uint8 tensors go through their dequantized copies.
        for k, i in enumerate(n.input):
            if i in params:
                n.input[k] = i + "_dq"
        if n.op_type == "Conv" and n.name not in head:
            w = graph.array(n.input[1])
            x_scale = params[n.input[0][:-len("_dq")]][0]
            peak = np.abs(w).reshape(w.shape[0], -1).max(axis=1)
            w_scale = np.where(peak > 0, peak / np.float32(qmax), np.float32(1)).astype(np.float32)
            q = np.clip(np.round(w / w_scale[:, None, None, None]), -qmax, qmax).astype(np.int8)
            n.input[1] = dequantized(n.input[1], q, w_scale, np.int8, n.name + "_W_DQ")
            b = graph.array(n.input[2]).astype(np.float64)
            b_scale = (np.float32(x_scale) * w_scale).astype(np.float32)
            bq = np.round(b / b_scale.astype(np.float64))
            bq = np.clip(bq, -2**31, 2**31 - 1).astype(np.int32)
            n.input[2] = dequantized(n.input[2], bq, b_scale, np.int32, n.name + "_B_DQ")
        new_nodes.append(n)
        for o in n.output:
            if o in params:
                qdq(o)
    graph.set_nodes(new_nodes)
    graph.prune()
    onnx.checker.check_model(graph.model)


def every_output(graph):
    """Makes every activation an output of the graph, after its own outputs."""
    named = {o.name for o in graph.g.output}
    for n in graph.g.node:
        for o in n.output:
            if o not in named:
                output = helper.make_tensor_value_info(o, onnx.TensorProto.FLOAT, None)
                graph.g.output.append(output)
                named.add(o)


def main():
    args = sys.argv[1:]
    edit_only = "--edit-only" in args
    if edit_only:
        args.remove("--edit-only")
    if len(args) != 2:
        raise SystemExit(__doc__)
    source, dest = args
    model = onnx.load(source)
    graph = edit(model)
    if edit_only:
        every_output(graph)
    else:
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), RANGES)) as f:
            ranges = json.load(f)["ranges"]
        quantize(graph, ranges)
    model.producer_name = "plumvane quantize_subject.py"
    model.producer_version = ""
    with open(dest + ".part", "wb") as f:
        f.write(model.SerializeToString())
    os.replace(dest + ".part", dest)


if __name__ == "__main__":
    main()
