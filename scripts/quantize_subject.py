#!/usr/bin/python3
"""Makes the int8 copy of U2-Net-p that reads a video's frames.

    quantize_subject.py SOURCE.onnx DEST.onnx [--edit-only]

--edit-only writes the float model edited as in steps 1 and 2 below, with every activation made an
output beside the map, for measuring the ranges (scripts/calibrate subject).

Same input, same bytes (see qdq.py), with the activation ranges of u2netp_ranges.json beside
this script. They are measured by scripts/calibrate subject, by hand and not at setup (float
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

import math

import numpy as np
import onnx
from onnx import helper

from qdq import OPSET, Graph, activation_params, attrs, fix_resize_sizes, insert_qdq, run, \
    shapes_of

RANGES = "u2netp_ranges.json"  # the activations' ranges, beside this script
# The channel with a constant offset: (convolution, output channel, amount taken off).
SHIFTS = [("Conv_765", 14, 200.0)]


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


def quantize(graph, ranges):
    g = graph.g
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

    insert_qdq(graph, params, {n.name for n in g.node if n.op_type == "Conv"} - head)


if __name__ == "__main__":
    run(__doc__, edit, quantize, RANGES, "plumvane quantize_subject.py")
