#!/usr/bin/python3
"""Makes the int8 copy of the people detector (NanoDet) that looks again at a video's frames.

    quantize_detector.py SOURCE.onnx DEST.onnx [--edit-only]

--edit-only writes the float model tidied as in step 1 below, with every activation made an
output beside the detector's own, for measuring the ranges (scripts/calibrate detector).

Same input, same bytes (see qdq.py); the ranges are those of nanodet_ranges.json beside this
script, measured by hand as the least and greatest value of each activation over the pictures
and clips' frames the file lists.

Steps:
1. Tidying. The model was converted from a graph laid out channels-last: every convolution sits
   between two transposes, its bias is a separate addition in the other layout, and its padding
   a separate Pad. The transposes that undo each other go, the additions become the
   convolutions' biases and the Pads their padding (the Pad of -infinity before the max pooling
   becomes the pooling's own padding, which takes no part in the maximum), and each upsampling's
   size, worked out at run time from the input's shape, is written as a constant. The edited
   float model computes what the original does.
2. Quantization, in the QDQ form that ONNX Runtime fuses into int8 kernels: weights per output
   channel, symmetric int8; biases int32; activations uint8 over their measured range, the
   pooling and upsampling keeping their input's. Three parts stay float. The first convolution
   reads the picture itself, whose three channels differ in spread, and quantizing it moved the
   scores most. The heads (the convolutions that give each grid's scores and box sides, and
   what follows them) give the boxes. And the tensors that a join puts side by side share the
   join's range, so that the join copies bytes rather than scaling each part again.

Only the looks at a clip after its first run on this copy (people_detector.h says when): it takes
about half the time of the float model on CPUs with VNNI, and its class scores on the test photos
differ from the float model's by 0.0006 on average and 0.12 at most.
The weights keep all 8 bits, so plumvane runs it only on CPUs with VNNI (see quantize_subject.py).
"""

import numpy as np
import onnx
from onnx import helper

from qdq import OPSET, Graph, activation_params, attrs, fix_resize_sizes, insert_qdq, run

RANGES = "nanodet_ranges.json"  # the activations' ranges, beside this script


def composed(first, then):
    """The permutation of transposing by `first` and then by `then` (None is none)."""
    if first is None:
        return list(then)
    return [first[i] for i in then]


def drop_transposes(graph):
    """Takes out the transposes that undo each other, carrying a transposed tensor's permutation
    through the additions between them: an addition of a per-channel constant adds it along the
    axis the channels are on before transposing, and the sum of two tensors transposed alike is
    their sum transposed."""
    # Each tensor of the model as (tensor of the edited graph, permutation that makes it).
    view = {}
    made = {}
    nodes = []

    def source(t):
        return view.get(t, (t, None))

    def materialized(t):
        name, perm = source(t)
        if perm is None:
            return name
        if (name, tuple(perm)) not in made:
            out = "%s_perm%s" % (name, "".join(map(str, perm)))
            nodes.append(helper.make_node("Transpose", [name], [out], name=out, perm=perm))
            made[(name, tuple(perm))] = out
        return made[(name, tuple(perm))]

    for n in graph.g.node:
        if n.op_type == "Transpose":
            name, perm = source(n.input[0])
            perm = composed(perm, attrs(n)["perm"])
            view[n.output[0]] = (name, None if perm == sorted(perm) else perm)
            continue
        if n.op_type == "Add":
            (a, pa), (b, pb) = source(n.input[0]), source(n.input[1])
            if pa is not None and b in graph.init and graph.array(b).ndim == 1:
                shape = [1] * len(pa)
                shape[pa[-1]] = graph.array(b).shape[0]
                graph.add_init(b + "_channels", graph.array(b).reshape(shape))
                nodes.append(helper.make_node("Add", [a, b + "_channels"], list(n.output), n.name))
                view[n.output[0]] = (n.output[0], pa)
                continue
            if pa is not None and pa == pb:
                nodes.append(helper.make_node("Add", [a, b], list(n.output), n.name))
                view[n.output[0]] = (n.output[0], pa)
                continue
        for k, i in enumerate(n.input):
            if i:
                n.input[k] = materialized(i)
        nodes.append(n)
    for o in graph.g.output:
        assert source(o.name)[1] is None, "an output is left transposed"
    graph.set_nodes(nodes)
    graph.prune()


def fold_biases_and_pads(graph):
    """Makes each addition of a constant after a convolution its bias, and each constant Pad
    before a convolution (of zeros) or a max pooling (of -infinity) its padding."""
    readers = graph.readers()
    producer = graph.producer()
    gone = set()
    for n in graph.g.node:
        if n.op_type == "Add" and n.input[1] in graph.init:
            conv = producer.get(n.input[0])
            if conv is None or conv.op_type != "Conv" or len(conv.input) > 2:
                continue
            if len(readers[conv.output[0]]) != 1:
                continue
            bias = graph.array(n.input[1])
            graph.add_init(conv.name + "_bias", bias.reshape(-1).astype(np.float32))
            conv.input.append(conv.name + "_bias")
            conv.output[0] = n.output[0]
            gone.add(id(n))
        elif n.op_type == "Pad":
            after = readers.get(n.output[0], [])
            if len(after) != 1 or after[0].op_type not in ("Conv", "MaxPool"):
                continue
            a = attrs(n)
            assert a.get("mode", b"constant") == b"constant"
            pads = graph.array(n.input[1]).tolist()
            value = graph.array(n.input[2]).item() if len(n.input) > 2 and n.input[2] else 0.0
            wanted = 0.0 if after[0].op_type == "Conv" else -np.inf
            if value != wanted or pads[0] or pads[1] or pads[4] or pads[5]:
                continue
            reader = after[0]
            assert "pads" not in attrs(reader)
            reader.attribute.append(helper.make_attribute("pads", pads[2:4] + pads[6:8]))
            reader.input[0] = n.input[0]
            gone.add(id(n))
    graph.set_nodes(n for n in graph.g.node if id(n) not in gone)
    graph.prune()


def edit(model):
    graph = Graph(model)
    del model.graph.value_info[:]  # the shapes of the layout the tidying takes out
    for n in graph.g.node:
        n.name = n.output[0]
    drop_transposes(graph)
    fold_biases_and_pads(graph)
    fix_resize_sizes(graph)
    model.opset_import[0].version = OPSET
    model.ir_version = 7
    onnx.checker.check_model(model)
    return graph


def quantize(graph, ranges):
    g = graph.g
    producer = graph.producer()
    readers = graph.readers()

    # The heads: the convolutions whose output is split into scores and box sides.
    head = {producer[n.input[0]].name for n in g.node if n.op_type == "Split"}
    first = readers[g.input[0].name][0].name

    # A join's inputs take its range, joined with those of any other join they are part of.
    span = {t: tuple(r) for t, r in ranges.items()}
    joined = True
    while joined:
        joined = False
        for n in g.node:
            if n.op_type != "Concat" or n.output[0] not in span:
                continue
            members = list(n.input) + [n.output[0]]
            lo = min(span[t][0] for t in members)
            hi = max(span[t][1] for t in members)
            for t in members:
                if span[t] != (lo, hi):
                    span[t] = (lo, hi)
                    joined = True

    params = {}
    kinds = ("Conv", "LeakyRelu", "Add", "Concat", "MaxPool", "Resize")
    for n in g.node:
        if n.op_type not in kinds or n.name in head:
            continue
        t = n.output[0]
        if n.op_type in ("MaxPool", "Resize"):
            params[t] = params[n.input[0]]  # the same scale: the runtime keeps them in uint8
        else:
            params[t] = activation_params(*span[t])
    convs = {n.name for n in g.node if n.op_type == "Conv"} - head - {first}
    insert_qdq(graph, params, convs)


if __name__ == "__main__":
    run(__doc__, edit, quantize, RANGES, "plumvane quantize_detector.py")
