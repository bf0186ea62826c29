// An independent implementation of the secret envelope, written from its byte layout with Node's
// built-in crypto only, to check interoperability in both directions.
//
//   node envelope_interop.mjs seal <recipient X9.63 public key, base64> <plaintext>
//   node envelope_interop.mjs open <PEM private key file> <envelope>
//
// Prints the envelope or the plaintext on standard output; exits non-zero on any failure.
import crypto from 'node:crypto';
import fs from 'node:fs';

const PREFIX = 'TAVRA-ENC:v1:';
const INFO = Buffer.from('tavra-enc-v1', 'ascii');

function keyID(publicX963) {
  return crypto.createHash('sha256').update(publicX963).digest().subarray(0, 8).toString('hex');
}

function derive(secret, ephemeralX963) {
  return Buffer.from(crypto.hkdfSync('sha256', secret, ephemeralX963, INFO, 32));
}

function seal(recipientX963, plaintext) {
  const ephemeral = crypto.createECDH('prime256v1');
  ephemeral.generateKeys();
  const ephemeralX963 = ephemeral.getPublicKey(null, 'uncompressed');
  const secret = ephemeral.computeSecret(recipientX963);
  const id = keyID(recipientX963);
  const nonce = crypto.randomBytes(12);
  const cipher = crypto.createCipheriv('aes-256-gcm', derive(secret, ephemeralX963), nonce);
  cipher.setAAD(Buffer.from(PREFIX + id, 'ascii'));
  const ciphertext = Buffer.concat([cipher.update(Buffer.from(plaintext, 'utf8')), cipher.final()]);
  const payload = Buffer.concat([ephemeralX963, nonce, ciphertext, cipher.getAuthTag()]);
  return PREFIX + id + ':' + payload.toString('base64url');
}

function open(pem, envelope) {
  if (!envelope.startsWith(PREFIX)) throw new Error('not an envelope');
  const [id, text] = envelope.slice(PREFIX.length).split(':');
  const payload = Buffer.from(text, 'base64url');
  if (payload.length < 94) throw new Error('malformed envelope');
  const ephemeralX963 = payload.subarray(0, 65);
  const nonce = payload.subarray(65, 77);
  const tag = payload.subarray(payload.length - 16);
  const ciphertext = payload.subarray(77, payload.length - 16);
  const jwk = crypto.createPrivateKey(pem).export({ format: 'jwk' });
  const ecdh = crypto.createECDH('prime256v1');
  ecdh.setPrivateKey(Buffer.from(jwk.d, 'base64url'));
  const secret = ecdh.computeSecret(ephemeralX963);
  const decipher = crypto.createDecipheriv('aes-256-gcm', derive(secret, ephemeralX963), nonce);
  decipher.setAAD(Buffer.from(PREFIX + id, 'ascii'));
  decipher.setAuthTag(tag);
  return Buffer.concat([decipher.update(ciphertext), decipher.final()]).toString('utf8');
}

const [mode, key, value] = process.argv.slice(2);
if (mode === 'seal') {
  process.stdout.write(seal(Buffer.from(key, 'base64'), value));
} else if (mode === 'open') {
  process.stdout.write(open(fs.readFileSync(key, 'utf8'), value));
} else {
  process.stderr.write('usage: seal <key> <plaintext> | open <pem> <envelope>\n');
  process.exit(2);
}
