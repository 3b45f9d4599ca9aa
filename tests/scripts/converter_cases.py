#!/usr/bin/python3
"""Small TFLite graphs for the TFLite-to-ONNX converter's tests.

    converter_cases.py OUTDIR

For each case it writes OUTDIR/NAME/model.onnx (converted by scripts/tflite_to_onnx.py from a
TFLite graph built here), input.bin and expected.bin (raw float32, NHWC) and shapes.txt (the
input shape, then the output shape). The expected values come from plain numpy implementations
of the TFLite operators with their paddings worked out by hand, so that the C++ test, which runs
each ONNX model on ONNX Runtime, checks the converter against an independent reference. It also
checks that an unsupported operator is refused, and exits non-zero if not.
"""

import os
import sys

import flatbuffers
import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import tflite_to_onnx as converter  # noqa: E402

rng = np.random.default_rng(5)

# ---------------------------------------------------------------- numpy references (NHWC)


def conv(x, w, b, stride, pads, dilation=(1, 1)):
    """x: N x H x W x I, w: O x kH x kW x I, pads: (top, bottom, left, right)."""
    top, bottom, left, right = pads
    x = np.pad(x, ((0, 0), (top, bottom), (left, right), (0, 0)))
    o, kh, kw, _ = w.shape
    sh, sw = stride
    dh, dw = dilation
    out_h = (x.shape[1] - (kh - 1) * dh - 1) // sh + 1
    out_w = (x.shape[2] - (kw - 1) * dw - 1) // sw + 1
    y = np.zeros((x.shape[0], out_h, out_w, o), np.float64)
    for i in range(kh):
        for j in range(kw):
            patch = x[:, i * dh: i * dh + sh * (out_h - 1) + 1: sh, j * dw: j * dw + sw * (out_w - 1) + 1: sw, :]
            y += patch @ w[:, i, j, :].T
    return y + (b if b is not None else 0)


def depthwise(x, w, b, stride, pads):
    """w: 1 x kH x kW x C (multiplier 1)."""
    top, bottom, left, right = pads
    x = np.pad(x, ((0, 0), (top, bottom), (left, right), (0, 0)))
    _, kh, kw, c = w.shape
    sh, sw = stride
    out_h = (x.shape[1] - kh) // sh + 1
    out_w = (x.shape[2] - kw) // sw + 1
    y = np.zeros((x.shape[0], out_h, out_w, c))
    for i in range(kh):
        for j in range(kw):
            y += x[:, i: i + sh * (out_h - 1) + 1: sh, j: j + sw * (out_w - 1) + 1: sw, :] * w[0, i, j, :]
    return y + b


def transpose_conv(x, w, b, stride, crop_before, out_size):
    """w: O x kH x kW x I. The full output, cropped at crop_before to out_size."""
    n, h, wd, _ = x.shape
    o, kh, kw, _ = w.shape
    sh, sw = stride
    full = np.zeros((n, (h - 1) * sh + kh, (wd - 1) * sw + kw, o))
    for i in range(h):
        for j in range(wd):
            for ki in range(kh):
                for kj in range(kw):
                    full[:, i * sh + ki, j * sw + kj, :] += x[:, i, j, :] @ w[:, ki, kj, :].T
    top, left = crop_before
    return full[:, top: top + out_size[0], left: left + out_size[1], :] + b


def average_pool(x, k, stride, pads):
    """Averages over the pixels inside the picture only."""
    top, bottom, left, right = pads
    ones = np.pad(np.ones_like(x), ((0, 0), (top, bottom), (left, right), (0, 0)))
    x = np.pad(x, ((0, 0), (top, bottom), (left, right), (0, 0)))
    out_h = (x.shape[1] - k) // stride + 1
    out_w = (x.shape[2] - k) // stride + 1
    total = np.zeros((x.shape[0], out_h, out_w, x.shape[3]))
    count = np.zeros_like(total)
    for i in range(k):
        for j in range(k):
            total += x[:, i: i + stride * (out_h - 1) + 1: stride, j: j + stride * (out_w - 1) + 1: stride]
            count += ones[:, i: i + stride * (out_h - 1) + 1: stride, j: j + stride * (out_w - 1) + 1: stride]
    return total / count


def resize_bilinear(x, out_h, out_w, half_pixel, align_corners):
    def sample(out, size_in, size_out):
        if align_corners:
            at = np.arange(out) * ((size_in - 1) / (size_out - 1))
        elif half_pixel:
            at = (np.arange(out) + 0.5) * (size_in / size_out) - 0.5
        else:
            at = np.arange(out) * (size_in / size_out)
        at = np.clip(at, 0, size_in - 1)
        low = np.floor(at).astype(int)
        high = np.minimum(low + 1, size_in - 1)
        return low, high, at - low
    y0, y1, fy = sample(out_h, x.shape[1], out_h)
    x0, x1, fx = sample(out_w, x.shape[2], out_w)
    rows = x[:, y0] * (1 - fy)[None, :, None, None] + x[:, y1] * fy[None, :, None, None]
    return rows[:, :, x0] * (1 - fx)[None, None, :, None] + rows[:, :, x1] * fx[None, None, :, None]


def hard_swish(x):
    return x * np.clip(x + 3, 0, 6) / 6


# ---------------------------------------------------------------- TFLite writer


class Graph:
    """Builds a one-subgraph TFLite model."""

    def __init__(self):
        self.tensors = []  # (shape, type, buffer index)
        self.buffers = [b""]  # buffer 0 is the empty one
        self.codes = []  # (builtin code, custom name)
        self.ops = []

    def tensor(self, shape, value=None, dtype=np.float32):
        buffer = 0
        if value is not None:
            self.buffers.append(np.ascontiguousarray(value, dtype).tobytes())
            buffer = len(self.buffers) - 1
        kind = {np.float32: 0, np.float16: 1, np.int32: 2}[dtype]
        self.tensors.append((list(shape), kind, buffer))
        return len(self.tensors) - 1

    def op(self, code, inputs, outputs, options_type=0, options=None, custom=None, custom_options=b""):
        key = (code, custom)
        if key not in self.codes:
            self.codes.append(key)
        self.ops.append((self.codes.index(key), inputs, outputs, options_type, options, custom_options))

    def build(self, inputs, outputs):
        b = flatbuffers.Builder(1024)
        b.ForceDefaults(True)

        def int_vector(values):
            return b.CreateNumpyVector(np.array(values, np.int32))

        def table_vector(offsets):
            b.StartVector(4, len(offsets), 4)
            for o in reversed(offsets):
                b.PrependUOffsetTRelative(o)
            return b.EndVector()

        buffers = []
        for data in self.buffers:
            vector = b.CreateNumpyVector(np.frombuffer(data, np.uint8)) if data else None
            b.StartObject(1)
            if vector is not None:
                b.PrependUOffsetTRelativeSlot(0, vector, 0)
            buffers.append(b.EndObject())
        tensors = []
        for i, (shape, kind, buffer) in enumerate(self.tensors):
            shape_vector, name = int_vector(shape), b.CreateString("t%d" % i)
            b.StartObject(4)
            b.PrependUOffsetTRelativeSlot(0, shape_vector, 0)
            b.PrependInt8Slot(1, kind, 0)
            b.PrependUint32Slot(2, buffer, 0)
            b.PrependUOffsetTRelativeSlot(3, name, 0)
            tensors.append(b.EndObject())
        ops = []
        for code_index, ins, outs, options_type, options, custom_options in self.ops:
            in_vector, out_vector = int_vector(ins), int_vector(outs)
            options_table = options(b) if options else None
            custom_vector = b.CreateNumpyVector(np.frombuffer(custom_options, np.uint8)) if custom_options else None
            b.StartObject(6)
            b.PrependUint32Slot(0, code_index, 0)
            b.PrependUOffsetTRelativeSlot(1, in_vector, 0)
            b.PrependUOffsetTRelativeSlot(2, out_vector, 0)
            b.PrependUint8Slot(3, options_type, 0)
            if options_table is not None:
                b.PrependUOffsetTRelativeSlot(4, options_table, 0)
            if custom_vector is not None:
                b.PrependUOffsetTRelativeSlot(5, custom_vector, 0)
            ops.append(b.EndObject())
        codes = []
        for code, custom in self.codes:
            name = b.CreateString(custom) if custom else None
            b.StartObject(4)
            b.PrependInt8Slot(0, min(code, 127), 0)
            if name is not None:
                b.PrependUOffsetTRelativeSlot(1, name, 0)
            b.PrependInt32Slot(2, 1, 0)
            b.PrependInt32Slot(3, code, 0)
            codes.append(b.EndObject())
        tensor_vector, op_vector = table_vector(tensors), table_vector(ops)
        in_vector, out_vector = int_vector(inputs), int_vector(outputs)
        b.StartObject(4)
        b.PrependUOffsetTRelativeSlot(0, tensor_vector, 0)
        b.PrependUOffsetTRelativeSlot(1, in_vector, 0)
        b.PrependUOffsetTRelativeSlot(2, out_vector, 0)
        b.PrependUOffsetTRelativeSlot(3, op_vector, 0)
        subgraph = b.EndObject()
        code_vector, subgraph_vector = table_vector(codes), table_vector([subgraph])
        buffer_vector = table_vector(buffers)
        b.StartObject(5)
        b.PrependUint32Slot(0, 3, 0)
        b.PrependUOffsetTRelativeSlot(1, code_vector, 0)
        b.PrependUOffsetTRelativeSlot(2, subgraph_vector, 0)
        b.PrependUOffsetTRelativeSlot(4, buffer_vector, 0)
        b.Finish(b.EndObject(), file_identifier=b"TFL3")
        return bytes(b.Output())


def options(fields):
    """Options table writer: fields is a list of (slot, prepend method name, value)."""
    def write(b):
        b.StartObject(max(slot for slot, _, _ in fields) + 1 if fields else 0)
        for slot, method, value in fields:
            getattr(b, method)(slot, value, value)  # written all the same: the builder forces defaults
        return b.EndObject()
    return write


def conv_options(same, stride_w, stride_h, activation):
    return options([(0, "PrependInt8Slot", 0 if same else 1), (1, "PrependInt32Slot", stride_w),
                    (2, "PrependInt32Slot", stride_h), (3, "PrependInt8Slot", activation)])


def depthwise_options(same, stride_w, stride_h):
    return options([(0, "PrependInt8Slot", 0 if same else 1), (1, "PrependInt32Slot", stride_w),
                    (2, "PrependInt32Slot", stride_h), (3, "PrependInt32Slot", 1), (4, "PrependInt8Slot", 0)])


# ---------------------------------------------------------------- cases


def case_conv_same_asymmetric():
    """CONV_2D, SAME, stride 2 on 8 x 7: height pads 0 before and 1 after, width 1 and 1.
    fp16 weights behind DEQUANTIZE, bias, fused RELU."""
    x = rng.normal(size=(1, 8, 7, 3))
    w16 = rng.normal(size=(4, 3, 3, 3)).astype(np.float16)
    b = rng.normal(size=4)
    g = Graph()
    t_in = g.tensor(x.shape)
    t_w16 = g.tensor(w16.shape, w16, np.float16)
    t_w = g.tensor(w16.shape)
    t_b = g.tensor(b.shape, b)
    t_out = g.tensor((1, 4, 4, 4))
    g.op(converter.DEQUANTIZE, [t_w16], [t_w])
    g.op(converter.CONV_2D, [t_in, t_w, t_b], [t_out], 1, conv_options(True, 2, 2, converter.ACT_RELU))
    expected = np.maximum(conv(x, w16.astype(np.float64), b, (2, 2), (0, 1, 1, 1)), 0)
    return g.build([t_in], [t_out]), x, expected


def case_conv_valid_rectangular():
    """CONV_2D, VALID, a 2 x 3 kernel, stride (h 1, w 2), RELU6."""
    x = rng.normal(size=(1, 6, 9, 2)) * 4
    w = rng.normal(size=(3, 2, 3, 2))
    b = rng.normal(size=3)
    g = Graph()
    t_in, t_w, t_b = g.tensor(x.shape), g.tensor(w.shape, w), g.tensor(b.shape, b)
    t_out = g.tensor((1, 5, 4, 3))
    g.op(converter.CONV_2D, [t_in, t_w, t_b], [t_out], 1, conv_options(False, 2, 1, converter.ACT_RELU6))
    expected = np.clip(conv(x, w, b, (1, 2), (0, 0, 0, 0)), 0, 6)
    return g.build([t_in], [t_out]), x, expected


def case_depthwise_same():
    """DEPTHWISE_CONV_2D, SAME, 5 x 5 kernel, stride 2 on 8 x 8: pads 1 before and 2 after."""
    x = rng.normal(size=(1, 8, 8, 3))
    w = rng.normal(size=(1, 5, 5, 3))
    b = rng.normal(size=3)
    g = Graph()
    t_in, t_w, t_b = g.tensor(x.shape), g.tensor(w.shape, w), g.tensor(b.shape, b)
    t_out = g.tensor((1, 4, 4, 3))
    g.op(converter.DEPTHWISE_CONV_2D, [t_in, t_w, t_b], [t_out], 2, depthwise_options(True, 2, 2))
    return g.build([t_in], [t_out]), x, depthwise(x, w, b, (2, 2), (1, 2, 1, 2))


def case_elementwise():
    """ADD of a per-channel constant, HARD_SWISH, LOGISTIC, MUL of two activations, RELU."""
    x = rng.normal(size=(1, 3, 4, 2)) * 3
    c = rng.normal(size=2)
    g = Graph()
    t_in, t_c = g.tensor(x.shape), g.tensor(c.shape, c)
    t_add, t_swish, t_sig, t_mul, t_out = [g.tensor(x.shape) for _ in range(5)]
    g.op(converter.ADD, [t_in, t_c], [t_add])
    g.op(converter.HARD_SWISH, [t_add], [t_swish])
    g.op(converter.LOGISTIC, [t_add], [t_sig])
    g.op(converter.MUL, [t_swish, t_sig], [t_mul])
    g.op(converter.RELU, [t_mul], [t_out])
    a = x + c
    return g.build([t_in], [t_out]), x, np.maximum(hard_swish(a) / (1 + np.exp(-a)), 0)


def case_pool_and_mean():
    """AVERAGE_POOL_2D 3 x 3, SAME, stride 2 on 5 x 6 (padding not counted), then MEAN over
    height and width, kept, multiplied back over the pooled map (a squeeze-excite pattern).
    Height pads 1 and 1, width 0 and 1."""
    x = rng.normal(size=(1, 5, 6, 2))
    g = Graph()
    t_in = g.tensor(x.shape)
    t_pool = g.tensor((1, 3, 3, 2))
    t_axes = g.tensor((2,), np.array([1, 2]), np.int32)
    t_mean = g.tensor((1, 1, 1, 2))
    t_out = g.tensor((1, 3, 3, 2))
    pool = options([(0, "PrependInt8Slot", 0), (1, "PrependInt32Slot", 2), (2, "PrependInt32Slot", 2),
                    (3, "PrependInt32Slot", 3), (4, "PrependInt32Slot", 3), (5, "PrependInt8Slot", 0)])
    g.op(converter.AVERAGE_POOL_2D, [t_in], [t_pool], 5, pool)
    g.op(converter.MEAN, [t_pool, t_axes], [t_mean], 27, options([(0, "PrependBoolSlot", True)]))
    g.op(converter.MUL, [t_pool, t_mean], [t_out])
    pooled = average_pool(x, 3, 2, (1, 1, 0, 1))
    return g.build([t_in], [t_out]), x, pooled * pooled.mean(axis=(1, 2), keepdims=True)


def resize_case(half_pixel, align_corners):
    x = rng.normal(size=(1, 3, 4, 2))
    g = Graph()
    t_in = g.tensor(x.shape)
    t_size = g.tensor((2,), np.array([6, 7]), np.int32)
    t_out = g.tensor((1, 6, 7, 2))
    g.op(converter.RESIZE_BILINEAR, [t_in, t_size], [t_out], 15,
         options([(2, "PrependBoolSlot", align_corners), (3, "PrependBoolSlot", half_pixel)]))
    return g.build([t_in], [t_out]), x, resize_bilinear(x, 6, 7, half_pixel, align_corners)


def case_resize_half_pixel():
    return resize_case(True, False)


def case_resize_align_corners():
    return resize_case(False, True)


def transpose_case(kernel, crop_before):
    """Convolution2DTransposeBias, SAME, stride 2 from 3 x 4 to 6 x 8."""
    x = rng.normal(size=(1, 3, 4, 3))
    w = rng.normal(size=(2, kernel, kernel, 3))
    b = rng.normal(size=2)
    g = Graph()
    t_in, t_w, t_b = g.tensor(x.shape), g.tensor(w.shape, w), g.tensor(b.shape, b)
    t_out = g.tensor((1, 6, 8, 2))
    g.op(converter.CUSTOM, [t_in, t_w, t_b], [t_out], custom="Convolution2DTransposeBias",
         custom_options=np.array([1, 2, 2], "<i4").tobytes())
    return g.build([t_in], [t_out]), x, transpose_conv(x, w, b, (2, 2), crop_before, (6, 8))


def case_transpose_conv_kernel_2():
    return transpose_case(2, (0, 0))  # (in - 1) * 2 + 2 = out exactly: nothing cropped


def case_transpose_conv_kernel_3():
    return transpose_case(3, (0, 0))  # one pixel too many: cropped after


def case_transpose_conv_kernel_4():
    return transpose_case(4, (1, 1))  # two too many: one before, one after


CASES = [case_conv_same_asymmetric, case_conv_valid_rectangular, case_depthwise_same, case_elementwise,
         case_pool_and_mean, case_resize_half_pixel, case_resize_align_corners,
         case_transpose_conv_kernel_2, case_transpose_conv_kernel_3, case_transpose_conv_kernel_4]


def unsupported_operator_is_refused():
    g = Graph()
    t_in, t_out = g.tensor((1, 4)), g.tensor((1, 4))
    g.op(25, [t_in], [t_out])  # SOFTMAX
    try:
        converter.convert(g.build([t_in], [t_out]))
    except converter.ConversionError:
        return True
    return False


def main(out_dir):
    for case in CASES:
        name = case.__name__[len("case_"):]
        tflite, x, expected = case()
        model = converter.convert(tflite)
        folder = os.path.join(out_dir, name)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "model.onnx"), "wb") as f:
            f.write(model.SerializeToString())
        x.astype("<f4").tofile(os.path.join(folder, "input.bin"))
        expected.astype("<f4").tofile(os.path.join(folder, "expected.bin"))
        with open(os.path.join(folder, "shapes.txt"), "w") as f:
            f.write(" ".join(map(str, x.shape)) + "\n" + " ".join(map(str, expected.shape)) + "\n")
    if not unsupported_operator_is_refused():
        print("an unsupported operator was not refused", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
