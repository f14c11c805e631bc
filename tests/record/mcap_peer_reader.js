// Reads an MCAP file with the reference reader (@mcap/core) and prints what
// it found as one JSON line, for the recording tests to compare with what
// they wrote.
//   node mcap_peer_reader.js full FILE    both readers, checksums, schemas
//   node mcap_peer_reader.js cuts FILE N,N,...  the streaming reader on the
//                                          file's first N bytes, as a crash
//                                          leaves it, for each N
"use strict";
const fs = require("fs");
const { McapIndexedReader, McapStreamReader } = require("@mcap/core");
const { crc32 } = require("@foxglove/crc");
const Ajv = require("ajv").default;
const foxglove = require("@foxglove/schemas/jsonschema");

const [mode, file, cutList] = process.argv.slice(2);
const bytes = fs.readFileSync(file);

// Every record the streaming reader yields, with the messages of each chunk
// checked against the message indexes that follow it.
function streamPass(data) {
  const reader = new McapStreamReader({ validateCrcs: true, includeChunks: true });
  reader.append(data);
  const result = { messages: 0, perTopic: {}, chunks: 0, indexMismatches: 0, error: null, done: false };
  const topics = new Map();
  let chunkTimes = new Map();
  try {
    for (let record; (record = reader.nextRecord()); ) {
      if (record.type === "Channel") topics.set(record.id, record.topic);
      if (record.type === "Chunk") {
        result.chunks++;
        chunkTimes = new Map();
      }
      if (record.type === "Message") {
        result.messages++;
        const topic = topics.get(record.channelId);
        result.perTopic[topic] = (result.perTopic[topic] || 0) + 1;
        const times = chunkTimes.get(record.channelId) || [];
        times.push(record.logTime);
        chunkTimes.set(record.channelId, times);
      }
      if (record.type === "MessageIndex") {
        const indexed = record.records.map(([time]) => time).sort();
        const seen = (chunkTimes.get(record.channelId) || []).slice().sort();
        if (indexed.length !== seen.length || indexed.some((t, i) => t !== seen[i])) result.indexMismatches++;
      }
    }
    result.done = reader.done();
  } catch (error) {
    result.error = String(error);
  }
  return result;
}

async function indexedPass(data) {
  const readable = {
    size: async () => BigInt(data.length),
    read: async (offset, length) => data.subarray(Number(offset), Number(offset + length)),
  };
  const reader = await McapIndexedReader.Initialize({ readable });
  const ajv = new Ajv({ strict: false, allErrors: true });
  const validators = new Map();
  for (const [id, schema] of reader.schemasById)
    validators.set(id, ajv.compile(JSON.parse(new TextDecoder().decode(schema.data))));

  const result = { messages: 0, perTopic: {}, invalid: [], outOfOrder: 0, statistics: null };
  let lastTime = -1n;
  for await (const message of reader.readMessages({ validateCrcs: true })) {
    const channel = reader.channelsById.get(message.channelId);
    result.messages++;
    result.perTopic[channel.topic] = (result.perTopic[channel.topic] || 0) + 1;
    if (message.logTime < lastTime) result.outOfOrder++;
    lastTime = message.logTime;
    const validate = validators.get(channel.schemaId);
    const value = JSON.parse(new TextDecoder().decode(message.data));
    if (!validate(value) && result.invalid.length < 5)
      result.invalid.push(channel.topic + ": " + ajv.errorsText(validate.errors));
  }

  const statistics = reader.statistics;
  const perChannel = {};
  for (const [id, count] of statistics.channelMessageCounts)
    perChannel[reader.channelsById.get(id).topic] = Number(count);
  result.statistics = {
    messageCount: Number(statistics.messageCount),
    chunkCount: statistics.chunkCount,
    chunkIndexes: reader.chunkIndexes.length,
    perTopic: perChannel,
    startTime: String(statistics.messageStartTime),
    endTime: String(statistics.messageEndTime),
  };

  // Checksums the reader itself does not check.
  const footer = reader.footer;
  const dataEnd = Number(reader.dataEndOffset);
  result.dataCrcOk = reader.dataSectionCrc === crc32(data.subarray(0, dataEnd));
  const footerStart = data.length - 8 - (1 + 8 + 20);
  result.summaryCrcOk =
    footer.summaryCrc === crc32(data.subarray(Number(footer.summaryStart), footerStart + 1 + 8 + 16));

  // Our compiled-in copies of the visualisers' schemas must be theirs.
  result.schemasMatchPackage = true;
  for (const schema of reader.schemasById.values()) {
    const name = schema.name.replace(/^foxglove\./, "");
    if (schema.name.startsWith("foxglove.") &&
        JSON.stringify(JSON.parse(new TextDecoder().decode(schema.data))) !== JSON.stringify(foxglove[name]))
      result.schemasMatchPackage = false;
  }
  return result;
}

(async () => {
  if (mode === "cuts") {
    const cuts = cutList.split(",").map(Number);
    const out = { cuts: cuts.map((cut) => streamPass(bytes.subarray(0, cut))) };
    process.stdout.write(JSON.stringify(out) + "\n");
    return;
  }
  const out = { stream: streamPass(bytes) };
  if (mode === "full") {
    try {
      out.indexed = await indexedPass(bytes);
    } catch (error) {
      out.indexed = { error: String(error) };
    }
  }
  process.stdout.write(JSON.stringify(out) + "\n");
})();
