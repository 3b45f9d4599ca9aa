#!/usr/bin/python3
"""What the scripts that make the models' int8 copies share: a graph to edit in place, the
working out of sizes that a fixed input makes constant, and quantization in the QDQ form that
ONNX Runtime fuses into int8 kernels.

Same input, same bytes: everything here is integer work or single IEEE float32/float64
operations on the model's own numbers and on the activations' measured ranges, so the output
does not depend on the CPU and setup pins it by sha256. Runs with Debian's python3-onnx and
python3-numpy alone.
"""

import json
import os
import sys

import numpy as np
import onnx
from onnx import helper, numpy_helper, shape_inference

OPSET = 13  # per-channel DequantizeLinear needs 13
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


def activation_params(lo, hi):
    """uint8 scale and zero point for the range [lo, hi] (which is made to hold 0)."""
    lo = min(np.float32(lo), np.float32(0))
    hi = max(np.float32(hi), np.float32(0))
    scale = np.float32((hi - lo) / np.float32(255))
    if scale == 0:
        scale = np.float32(1)
    zero = int(np.clip(np.round(np.float64(-lo) / np.float64(scale)), 0, 255))
    return scale, zero


def insert_qdq(graph, params, convs):
    """Quantizes the graph in place: each tensor of `params` (name: (scale, zero point)) becomes
    uint8 through a QuantizeLinear and DequantizeLinear pair after it, and each convolution named
    in `convs`, whose input must be one of them, gets per-output-channel symmetric int8 weights
    (all 8 bits) and an int32 bias at input scale x weight scale."""
    g = graph.g
    qmax = 127
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
        if n.op_type == "Conv" and n.name in convs:
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


def save(model, dest, producer):
    """Writes the model to dest whole or not at all."""
    model.producer_name = producer
    model.producer_version = ""
    with open(dest + ".part", "wb") as f:
        f.write(model.SerializeToString())
    os.replace(dest + ".part", dest)


def run(doc, edit, quantize, ranges_file, producer):
    """The command line of a script that makes an int8 copy: SOURCE.onnx DEST.onnx [--edit-only].
    `edit` tidies the loaded model and returns its Graph; `quantize` takes that and the ranges
    of ranges_file, which lies beside the scripts."""
    args = sys.argv[1:]
    edit_only = "--edit-only" in args
    if edit_only:
        args.remove("--edit-only")
    if len(args) != 2:
        raise SystemExit(doc)
    source, dest = args
    model = onnx.load(source)
    graph = edit(model)
    if edit_only:
        every_output(graph)
    else:
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), ranges_file)) as f:
            quantize(graph, json.load(f)["ranges"])
    save(model, dest, producer)
