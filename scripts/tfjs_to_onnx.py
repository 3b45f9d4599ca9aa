#!/usr/bin/python3
"""Converts a TensorFlow.js graph model (the NanoDet object detector) to ONNX.

    tfjs_to_onnx.py MODEL.json MODEL.onnx

MODEL.json names its weight files, which are read from the same folder. Supports the operators
that model uses: Conv2D, MaxPool, Pad, PadV2, Add, AddV2, LeakyRelu, Sigmoid, Transpose,
ConcatV2, SplitV, Reshape, ResizeBilinear and Identity; constant subgraphs (SparseToDense, Add,
Identity of constants) are folded. TensorFlow convolutions and pooling work in NHWC and ONNX's in
NCHW: each is wrapped in a pair of transposes, which ONNX Runtime folds away when it loads the
model. The output is the same file for the same input, so that it can be pinned by checksum.

Runs with Debian's python3-onnx and python3-numpy.
"""

import base64
import json
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 13
DTYPES = {"float32": np.float32, "int32": np.int32, "int64": np.int64, "bool": np.bool_}


class ConversionError(Exception):
    pass


def read_weights(model, folder):
    """The model's weights by name, as numpy arrays (float16-quantized ones widened to float32)."""
    weights = {}
    for group in model["weightsManifest"]:
        data = b"".join(open(os.path.join(folder, p), "rb").read() for p in group["paths"])
        offset = 0
        for w in group["weights"]:
            count = int(np.prod(w["shape"])) if w["shape"] else 1
            quantization = w.get("quantization")
            if quantization and quantization["dtype"] == "float16":
                values = np.frombuffer(data, np.float16, count, offset).astype(np.float32)
                offset += 2 * count
            elif quantization:
                raise ConversionError("unsupported quantization " + quantization["dtype"])
            else:
                dtype = np.dtype(DTYPES[w["dtype"]])
                values = np.frombuffer(data, dtype, count, offset).copy()
                offset += dtype.itemsize * count
            weights[w["name"]] = values.reshape(w["shape"])
    return weights


def tensor_name(ref):
    """A TensorFlow input reference ("node", "node:0", "node:1") as an ONNX tensor name."""
    base, _, index = ref.partition(":")
    return base if index in ("", "0") else ref


def attribute(node, key):
    value = node.get("attr", {}).get(key, {})
    if "i" in value:
        return int(value["i"])
    if "f" in value:
        return float(value["f"])
    if "b" in value:
        return value["b"]
    if "s" in value:
        return base64.b64decode(value["s"]).decode()
    if "list" in value:
        return [int(x) for x in value["list"].get("i", [])]
    return None


def fold(op, values):
    """The value of an operator whose inputs are all constants, or None."""
    if op == "SparseToDense":
        indices, shape, sparse, default = values
        dense = np.full(shape, default, dtype=sparse.dtype)
        dense[tuple(np.asarray(indices).T)] = sparse
        return dense
    if op in ("Add", "AddV2"):
        return values[0] + values[1]
    if op == "Identity":
        return values[0]
    return None


class Graph:
    def __init__(self, constants):
        self.constants = constants
        self.nodes = []
        self.initializers = {}

    def initializer(self, name, value):
        self.initializers[name] = numpy_helper.from_array(np.asarray(value), name)
        return name

    def node(self, op, inputs, outputs, **attributes):
        self.nodes.append(helper.make_node(op, inputs, outputs, **attributes))

    def in_nchw(self, op, name, x, out, **attributes):
        """An NCHW operator applied to an NHWC tensor, giving an NHWC tensor."""
        self.node("Transpose", [x], [name + "/nchw_in"], perm=[0, 3, 1, 2])
        self.node(op, [name + "/nchw_in"] + out[1:], [name + "/nchw_out"], **attributes)
        self.node("Transpose", [name + "/nchw_out"], [out[0]], perm=[0, 2, 3, 1])

    def add(self, node):
        op, name = node["op"], node["name"]
        inputs = [tensor_name(i) for i in node.get("input", []) if not i.startswith("^")]
        const = lambda i: self.constants[inputs[i]]
        if op in ("Add", "AddV2", "Identity", "Sigmoid", "LeakyRelu"):
            for i in inputs:
                if i in self.constants and i not in self.initializers:
                    self.initializer(i, self.constants[i])
            onnx_op = "Add" if op == "AddV2" else op
            extra = {"alpha": attribute(node, "alpha")} if op == "LeakyRelu" else {}
            self.node(onnx_op, inputs, [name], **extra)
        elif op == "Transpose":
            self.node("Transpose", inputs[:1], [name], perm=[int(p) for p in const(1)])
        elif op == "ConcatV2":
            self.node("Concat", inputs[:-1], [name], axis=int(const(-1)))
        elif op in ("Pad", "PadV2"):
            pads = np.asarray(const(1)).astype(np.int64)
            args = [inputs[0], self.initializer(name + "/pads", np.concatenate([pads[:, 0], pads[:, 1]]))]
            if op == "PadV2":
                args.append(self.initializer(name + "/value", np.asarray(const(2), np.float32).reshape(())))
            self.node("Pad", args, [name])
        elif op == "Conv2D":
            if attribute(node, "data_format") != "NHWC" or attribute(node, "padding") != "VALID":
                raise ConversionError(name + ": only NHWC convolutions with VALID padding")
            kernel = np.transpose(const(1), (3, 2, 0, 1)).astype(np.float32)  # HWIO -> OIHW
            weights = self.initializer(name + "/kernel", kernel)
            self.in_nchw("Conv", name, inputs[0], [name, weights], strides=attribute(node, "strides")[1:3],
                         dilations=attribute(node, "dilations")[1:3], kernel_shape=list(kernel.shape[2:]))
        elif op == "MaxPool":
            if attribute(node, "padding") != "VALID":
                raise ConversionError(name + ": only VALID pooling")
            self.in_nchw("MaxPool", name, inputs[0], [name], kernel_shape=attribute(node, "ksize")[1:3],
                         strides=attribute(node, "strides")[1:3])
        elif op == "ResizeBilinear":
            if not attribute(node, "half_pixel_centers") or attribute(node, "align_corners"):
                raise ConversionError(name + ": only half-pixel-centre resizing")
            # Resize takes the whole NCHW output size: the batch and channels as they are.
            self.node("Transpose", inputs[:1], [name + "/nchw_in"], perm=[0, 3, 1, 2])
            self.node("Shape", [name + "/nchw_in"], [name + "/shape"])
            self.node("Slice", [name + "/shape", self.initializer(name + "/from", np.array([0], np.int64)),
                                self.initializer(name + "/to", np.array([2], np.int64))], [name + "/nc"])
            hw = self.initializer(name + "/hw", np.asarray(const(1)).astype(np.int64))
            self.node("Concat", [name + "/nc", hw], [name + "/sizes"], axis=0)
            self.node("Resize", [name + "/nchw_in", "", "", name + "/sizes"], [name + "/nchw_out"],
                      mode="linear", coordinate_transformation_mode="half_pixel")
            self.node("Transpose", [name + "/nchw_out"], [name], perm=[0, 2, 3, 1])
        elif op == "SplitV":
            sizes = np.asarray(const(1)).astype(np.int64)
            outputs = [name] + ["%s:%d" % (name, k) for k in range(1, len(sizes))]
            self.node("Split", [inputs[0], self.initializer(name + "/sizes", sizes)], outputs, axis=int(const(2)))
        elif op == "Reshape":
            shape = self.initializer(name + "/shape", np.asarray(const(1)).astype(np.int64))
            self.node("Reshape", [inputs[0], shape], [name])
        else:
            raise ConversionError("unsupported operator " + op)


def convert(source):
    model = json.load(open(source))
    graph = Graph(read_weights(model, os.path.dirname(source)))
    inputs = []
    for node in model["modelTopology"]["node"]:
        op, name = node["op"], node["name"]
        refs = [tensor_name(i) for i in node.get("input", []) if not i.startswith("^")]
        if op == "Const":
            continue
        if op == "Placeholder":
            shape = [int(d["size"]) for d in node["attr"]["shape"]["shape"]["dim"]]
            inputs.append(helper.make_tensor_value_info(name, TensorProto.FLOAT, shape))
            continue
        if refs and all(r in graph.constants for r in refs):
            value = fold(op, [graph.constants[r] for r in refs])
            if value is None:
                raise ConversionError("can't fold the constant operator " + op)
            graph.constants[name] = value
            continue
        graph.add(node)
    # The outputs in the order of their names, each with its recorded shape.
    outputs = []
    for _, output in sorted(model["signature"]["outputs"].items()):
        shape = [int(d["size"]) for d in output["tensorShape"]["dim"]]
        outputs.append(helper.make_tensor_value_info(tensor_name(output["name"]), TensorProto.FLOAT, shape))
    result = helper.make_model(helper.make_graph(graph.nodes, "graph", inputs, outputs,
                                                 list(graph.initializers.values())),
                               opset_imports=[helper.make_opsetid("", OPSET)], producer_name="tfjs_to_onnx")
    result.ir_version = 7
    onnx.checker.check_model(result)
    return result


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    try:
        onnx.save(convert(sys.argv[1]), sys.argv[2])
    except (ConversionError, OSError, KeyError, ValueError) as error:
        sys.exit("tfjs_to_onnx: %s" % error)


if __name__ == "__main__":
    main()
