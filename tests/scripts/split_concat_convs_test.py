#!/usr/bin/python3
"""split_concat_convs.py on small drawn models, run before and after by a reference evaluator."""

import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "split_concat_convs.py")
rng = np.random.default_rng(7)


def conv(x, w, b, pads):
    """A stride-1 convolution of NCHW x, group 1."""
    x = np.pad(x, ((0, 0), (0, 0), (pads, pads), (pads, pads)))
    k = w.shape[2]
    h, wd = x.shape[2] - k + 1, x.shape[3] - k + 1
    out = np.zeros((x.shape[0], w.shape[0], h, wd), np.float64)
    for i in range(k):
        for j in range(k):
            out += np.einsum("nchw,oc->nohw", x[:, :, i:i + h, j:j + wd], w[:, :, i, j])
    return out + (b.reshape(1, -1, 1, 1) if b is not None else 0)


def evaluate(model, x):
    """The model's outputs on x, for the operators the drawn models use."""
    values = {i.name: numpy_helper.to_array(i).astype(np.float64) for i in model.graph.initializer}
    values[model.graph.input[0].name] = x
    for n in model.graph.node:
        a = {t.name: helper.get_attribute_value(t) for t in n.attribute}
        ins = [values[i] if i else None for i in n.input]
        if n.op_type in ("Conv", "FusedConv"):
            y = conv(ins[0], ins[1], ins[2] if len(ins) > 2 else None, a["pads"][0])
            activation = a.get("activation", b"")
            y = np.maximum(y, 0) if activation in (b"Relu", "Relu") else y
        elif n.op_type == "Relu":
            y = np.maximum(ins[0], 0)
        elif n.op_type == "Add":
            y = ins[0] + ins[1]
        elif n.op_type == "Concat":
            y = np.concatenate(ins, axis=a["axis"])
        else:
            raise ValueError(n.op_type)
        values[n.output[0]] = y
    return [values[o.name] for o in model.graph.output]


def weight(name, out, inp, k=3):
    return numpy_helper.from_array(rng.normal(0, 0.3, (out, inp, k, k)).astype(np.float32), name)


def bias(name, out):
    return numpy_helper.from_array(rng.normal(0, 0.3, out).astype(np.float32), name)


def fused(inputs, output, activation="Relu", group=1):
    return helper.make_node("FusedConv", inputs, [output], name=output, domain="com.microsoft",
                            activation=activation, kernel_shape=[3, 3], pads=[1, 1, 1, 1],
                            strides=[1, 1], dilations=[1, 1], group=group)


def plain(inputs, output):
    return helper.make_node("Conv", inputs, [output], name=output, kernel_shape=[3, 3],
                            pads=[1, 1, 1, 1])


def model_of(nodes, initializers, outputs):
    graph = helper.make_graph(
        nodes, "drawn", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 3, 6, 5])],
        [helper.make_tensor_value_info(o, TensorProto.FLOAT, [None] * 4) for o in outputs],
        initializers)
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13),
                                                   helper.make_opsetid("com.microsoft", 1)])


def run_script(model):
    """The model after the script, and whether the script rewrote the file."""
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "m.optimized.onnx")
        onnx.save(model, path)
        before = open(path, "rb").read()
        subprocess.run([sys.executable, SCRIPT, path], check=True)
        after = open(path, "rb").read()
        assert os.listdir(directory) == ["m.optimized.onnx"]
        return onnx.load_from_string(after), after != before


class SplitConcatConvs(unittest.TestCase):
    def test_joins_read_by_one_convolution_are_split_and_map_as_before(self):
        # Two joins: a ReLU-fused convolution with a bias over two tensors of 16 and 32 channels
        # (one through a ReLU), and a plain convolution over three tensors, one joined twice.
        nodes = [fused(["x", "wa", "ba"], "a"), plain(["x", "wb"], "b0"),
                 helper.make_node("Relu", ["b0"], ["b"]),
                 helper.make_node("Concat", ["a", "b"], ["ab"], axis=1),
                 fused(["ab", "wj", "bj"], "y"),
                 helper.make_node("Concat", ["b", "a", "b"], ["bab"], axis=1),
                 plain(["bab", "wk", "bk"], "z")]
        inits = [weight("wa", 16, 3), bias("ba", 16), weight("wb", 32, 3), weight("wj", 16, 48),
                 bias("bj", 16), weight("wk", 8, 80), bias("bk", 8)]
        model = model_of(nodes, inits, ["y", "z"])
        split, rewritten = run_script(model)
        self.assertTrue(rewritten)
        self.assertEqual([n.op_type for n in split.graph.node].count("Concat"), 0)
        self.assertNotIn("wj", [i.name for i in split.graph.initializer])
        x = rng.normal(0, 1, (1, 3, 6, 5))
        for want, got in zip(evaluate(model, x), evaluate(split, x)):
            np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-5)
        onnx.checker.check_model(split)
        _, again = run_script(split)
        self.assertFalse(again)

    def test_joins_it_cannot_split_are_left_alone(self):
        inits = [weight("wa", 16, 3), weight("wc", 8, 3), weight("w32", 16, 32),
                 weight("w24", 16, 24), weight("wg", 16, 16)]
        join = lambda name: helper.make_node("Concat", ["a", "a"], [name], axis=1)
        nodes = [plain(["x", "wa"], "a"), plain(["x", "wc"], "c"),
                 join("a1"), fused(["a1", "w32"], "leaky", activation="LeakyRelu"),
                 join("a2"), fused(["a2", "wg"], "grouped", group=2),
                 join("a3"), fused(["a3", "w32"], "twice1"), fused(["a3", "w32"], "twice2"),
                 join("a4"),  # a graph output
                 helper.make_node("Concat", ["a", "c"], ["ac"], axis=1),
                 fused(["ac", "w24"], "narrow")]  # 8 channels: not a whole block
        model = model_of(nodes, inits, ["leaky", "grouped", "twice1", "twice2", "a4", "narrow"])
        _, rewritten = run_script(model)
        self.assertFalse(rewritten)


if __name__ == "__main__":
    unittest.main()
